// Stands in for a layer that has no sources yet.
namespace {
[[maybe_unused]] int layer_placeholder;
}
