// What the USB module knows about the CP210x chips, all in one place: which
// USB devices are bridges, every request the module sends with its setup
// fields and payload, what each part accepts, and what a failed transfer
// means as a status. Nothing here does I/O, so each request can be checked
// on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vendor/cp210x.h"
#include "vendor/parts.h"

// Every transfer waits at most this long, so a bridge that stops answering
// ends a step instead of the run.
enum : unsigned { transferTimeoutMs = 1000 };

// The IDs a CP210x bridge shows: vendor 0x10C4 with one of these products
// (the factory ones and the Stellomatikon's own 0x813F).
extern const uint16_t bridgeVendorId;
extern const uint16_t bridgeProductIds[];
extern const size_t bridgeProductIdCount;
bool isBridgeId(uint16_t vid, uint16_t pid);

enum : size_t { baudPayloadSize = NUM_BAUD_CONFIGS * 10 + 2 };

// One control transfer on endpoint 0. An OUT request sends the first
// `length` bytes of `data`; an IN request reads `length` bytes back.
struct ControlRequest {
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    uint8_t data[baudPayloadSize];
};

// The read of the part number, one byte back.
ControlRequest partNumberRequest();

// What the answer to partNumberRequest means for an open: status 0 and the
// part, or the status that refuses the open. `result` is what libusb
// returned for the transfer. A part number no row knows opens with part
// nullptr, which takes no write.
struct PartAnswer {
    CP210x_STATUS status;
    const PartInfo* part;
};
PartAnswer partFromAnswer(int result, uint8_t number);

// Standard GET_DESCRIPTOR of string `index`, US English, up to 255 bytes.
ControlRequest stringDescriptorRequest(uint8_t index);

// The writes. Each gives 0 with `out` filled in, or the status that refuses
// the write before anything goes out: 4 when `part` doesn't take it, 2 for
// a bad argument.
CP210x_STATUS vendorIdRequest(const PartInfo* part, uint16_t vid, ControlRequest* out);
CP210x_STATUS productIdRequest(const PartInfo* part, uint16_t pid, ControlRequest* out);
CP210x_STATUS productStringRequest(const PartInfo* part, const void* text, uint8_t length, int32_t isText,
                                   ControlRequest* out);
CP210x_STATUS serialStringRequest(const PartInfo* part, const void* text, uint8_t length, int32_t isText,
                                  ControlRequest* out);
CP210x_STATUS selfPowerRequest(const PartInfo* part, int32_t selfPower, ControlRequest* out);
CP210x_STATUS maxPowerRequest(const PartInfo* part, uint8_t maxPower, ControlRequest* out);
CP210x_STATUS deviceVersionRequest(const PartInfo* part, uint16_t version, ControlRequest* out);
CP210x_STATUS baudTableRequest(const PartInfo* part, const BAUD_CONFIG* table, ControlRequest* out);
CP210x_STATUS lockRequest(const PartInfo* part, ControlRequest* out);

// The USB string descriptor of `length` characters of `text` into `out`
// (2 + 2 * length bytes): single bytes widened when isText, else UTF-16LE
// code units as given. Returns its size; 0 when a single byte in
// 0x80-0x9F has no code point of its own.
size_t stringDescriptor(const void* text, uint8_t length, int32_t isText, uint8_t* out);

// The 32 entries of `table` as the chip takes them, baudPayloadSize bytes.
void baudPayload(const BAUD_CONFIG* table, uint8_t* out);

// What a finished transfer means: `result` as libusb returns it, against
// the `expected` number of bytes.
CP210x_STATUS transferStatus(int result, uint16_t expected);

// What a refused open means.
CP210x_STATUS openStatus(int error);
