#include "link/aError.h"

namespace {

const char* const sErrorNames[] = {
    "aErrNone",           "aErrMemory",        "aErrParam",      "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",          "aErrIO",         "aErrMode",
    "aErrWrite",          "aErrRead",          "aErrEOF",        "aErrNotReady",
    "aErrPermission",     "aErrRange",         "aErrSize",       "aErrOverrun",
    "aErrParse",          "aErrConfiguration", "aErrTimeout",    "aErrInitialization",
    "aErrVersion",        "aErrUnimplemented", "aErrDuplicate",  "aErrCancel",
    "aErrPacket",         "aErrConnection",    "aErrIndexRange", "aErrShortCommand",
    "aErrInvalidEntity",  "aErrInvalidOption", "aErrResource",   "aErrMedia",
    "aErrAsyncReturn",    "aErrStreamStale",   "aErrUnknown",
};

const char* const sErrorDescriptions[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tessarine command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(sErrorNames) / sizeof(sErrorNames[0]) == aErrUnknown + 1,
              "one name per error code");
static_assert(sizeof(sErrorDescriptions) / sizeof(sErrorDescriptions[0]) == aErrUnknown + 1,
              "one description per error code");

aErr sRow(aErr code) {
  return code > aErrUnknown ? aErrUnknown : code;
}

} // namespace

const char* aError_GetErrorText(aErr code) {
  return sErrorNames[sRow(code)];
}

const char* aError_GetErrorDescription(aErr code) {
  return sErrorDescriptions[sRow(code)];
}
