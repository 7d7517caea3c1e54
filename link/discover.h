#pragma once
// Module discovery: how a module is reached. Only the data types are here so far; the
// enumeration functions join them with the discovery code.

#include <cstdint>

// Transport of a link: 0 none, 1 USB, 2 TCP/IP, 3 serial port, 4 to 7 networked client links.
typedef uint32_t linkType;

// A link specifier. Its 128-byte layout is also the payload of networked discovery messages,
// so it is fixed; every field is in host byte order except the IPv4 address.
typedef struct linkSpec {
  linkType type;          // offset 0
  uint32_t serial_num;    // offset 4
  uint32_t module;        // offset 8: the module's own packet address, 0 until learnt
  uint32_t router;        // offset 12: address of the module it is reached through, 0 until learnt
  uint32_t router_serial; // offset 16: 0 until learnt
  uint32_t model;         // offset 20
  union {                 // offset 24: the transport part
    struct {
      uint32_t ip_address; // network byte order: its bytes are the dotted address in order
      uint32_t ip_port;
    } ip; // TCP/IP and networked links
    struct {
      uint32_t usb_id; // the serial number again
    } usb;
    struct {
      uint32_t baudrate;
      char port[100]; // device path, zero-terminated
    } serial;
    uint8_t bytes[104];
  } t;
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
