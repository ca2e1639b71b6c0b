#include "cp210x_requests.h"

#include <libusb.h>

const uint16_t bridgeVendorId = 0x10C4;

// EA60 is the common one (CP2101 to CP2104, CP2109, CP2102N), EA61 the
// vendor's direct-access driver, EA63 an alternative CP2101-4/CP2102N ID,
// EA70/EA7A the CP2105, EA71/EA7B the CP2108, 813F what this tool writes.
const uint16_t bridgeProductIds[] = {0xEA60, 0xEA61, 0xEA63, 0xEA70, 0xEA71, 0xEA7A, 0xEA7B, 0x813F};
const size_t bridgeProductIdCount = sizeof bridgeProductIds / sizeof bridgeProductIds[0];

bool isBridgeId(uint16_t vid, uint16_t pid) {
    if (vid != bridgeVendorId) return false;
    for (uint16_t id : bridgeProductIds) {
        if (id == pid) return true;
    }
    return false;
}

namespace {

// Every configuration request is vendor-class, recipient device, bRequest 0xFF.
const uint8_t vendorOut = 0x40;
const uint8_t vendorIn = 0xC0;
const uint8_t configRequest = 0xFF;

enum class Needs { fieldWrites, baudTable, lock };

// A configuration register: its wValue and what a part needs to take it.
struct Register {
    uint16_t value;
    Needs needs;
};

const Register vendorIdRegister = {0x3701, Needs::fieldWrites};
const Register productIdRegister = {0x3702, Needs::fieldWrites};
const Register productStringRegister = {0x3703, Needs::fieldWrites};
const Register serialStringRegister = {0x3704, Needs::fieldWrites};
const Register attributesRegister = {0x3705, Needs::fieldWrites};
const Register maxPowerRegister = {0x3706, Needs::fieldWrites};
const Register releaseRegister = {0x3707, Needs::fieldWrites};
const Register baudTableRegister = {0x3709, Needs::baudTable};
const Register lockRegister = {0x370A, Needs::lock};
const uint16_t partNumberRegister = 0x370B;

// bmAttributes: bit 7 always set, bit 6 self-powered.
const uint16_t busPowered = 0x80;
const uint16_t selfPowered = 0xC0;
// bMaxPower counts 2 mA; the chip takes up to 500 mA.
const uint8_t maxPowerLimit = 250;
// The value that locks the configuration.
const uint16_t lockValue = 0x00F0;

const uint8_t stringDescriptorType = 0x03;
const uint16_t usEnglish = 0x0409;

bool supports(const PartInfo* part, Needs needs) {
    if (part == nullptr) return false;
    switch (needs) {
        case Needs::fieldWrites: return part->fieldWrites;
        case Needs::baudTable: return part->baudTable;
        case Needs::lock: return part->lock;
    }
    return false;
}

// A vendor OUT request on `reg` without data stage; 4 when the part lacks it.
CP210x_STATUS scalarWrite(const PartInfo* part, const Register& reg, uint16_t index, ControlRequest* out) {
    if (!supports(part, reg.needs)) return CP210x_FUNCTION_NOT_SUPPORTED;
    *out = ControlRequest{vendorOut, configRequest, reg.value, index, 0, {}};
    return CP210x_SUCCESS;
}

CP210x_STATUS stringWrite(const PartInfo* part, const Register& reg, uint8_t limit, const void* text,
                          uint8_t length, int32_t isText, ControlRequest* out) {
    if (!supports(part, reg.needs)) return CP210x_FUNCTION_NOT_SUPPORTED;
    if (text == nullptr || length == 0 || length > limit) return CP210x_INVALID_PARAMETER;
    ControlRequest request = {vendorOut, configRequest, reg.value, 0, 0, {}};
    const size_t size = stringDescriptor(text, length, isText, request.data);
    if (size == 0) return CP210x_INVALID_PARAMETER;
    request.length = static_cast<uint16_t>(size);
    *out = request;
    return CP210x_SUCCESS;
}

}  // namespace

ControlRequest partNumberRequest() {
    return ControlRequest{vendorIn, configRequest, partNumberRegister, 0, 1, {}};
}

PartAnswer partFromAnswer(int result, uint8_t number) {
    if (result == 1) return {CP210x_SUCCESS, partByNumber(number)};
    // A CP2101 often stalls this request: the one part that doesn't know it.
    if (result == LIBUSB_ERROR_PIPE) return {CP210x_SUCCESS, partByNumber(0x01)};
    if (result == LIBUSB_ERROR_NO_DEVICE) return {CP210x_DEVICE_NOT_FOUND, nullptr};
    return {CP210x_DEVICE_IO_FAILED, nullptr};
}

ControlRequest stringDescriptorRequest(uint8_t index) {
    return ControlRequest{LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                          static_cast<uint16_t>(stringDescriptorType << 8 | index), usEnglish, 255, {}};
}

CP210x_STATUS vendorIdRequest(const PartInfo* part, uint16_t vid, ControlRequest* out) {
    return scalarWrite(part, vendorIdRegister, vid, out);
}

CP210x_STATUS productIdRequest(const PartInfo* part, uint16_t pid, ControlRequest* out) {
    return scalarWrite(part, productIdRegister, pid, out);
}

CP210x_STATUS productStringRequest(const PartInfo* part, const void* text, uint8_t length, int32_t isText,
                                   ControlRequest* out) {
    const uint8_t limit = part != nullptr ? part->productMax : 0;
    return stringWrite(part, productStringRegister, limit, text, length, isText, out);
}

CP210x_STATUS serialStringRequest(const PartInfo* part, const void* text, uint8_t length, int32_t isText,
                                  ControlRequest* out) {
    const uint8_t limit = part != nullptr ? part->serialMax : 0;
    return stringWrite(part, serialStringRegister, limit, text, length, isText, out);
}

CP210x_STATUS selfPowerRequest(const PartInfo* part, int32_t selfPower, ControlRequest* out) {
    return scalarWrite(part, attributesRegister, selfPower != 0 ? selfPowered : busPowered, out);
}

CP210x_STATUS maxPowerRequest(const PartInfo* part, uint8_t maxPower, ControlRequest* out) {
    if (!supports(part, maxPowerRegister.needs)) return CP210x_FUNCTION_NOT_SUPPORTED;
    if (maxPower > maxPowerLimit) return CP210x_INVALID_PARAMETER;
    return scalarWrite(part, maxPowerRegister, maxPower, out);
}

CP210x_STATUS deviceVersionRequest(const PartInfo* part, uint16_t version, ControlRequest* out) {
    return scalarWrite(part, releaseRegister, version, out);
}

CP210x_STATUS baudTableRequest(const PartInfo* part, const BAUD_CONFIG* table, ControlRequest* out) {
    if (!supports(part, baudTableRegister.needs)) return CP210x_FUNCTION_NOT_SUPPORTED;
    if (table == nullptr) return CP210x_INVALID_PARAMETER;
    ControlRequest request = {vendorOut, configRequest, baudTableRegister.value, 0, baudPayloadSize, {}};
    baudPayload(table, request.data);
    *out = request;
    return CP210x_SUCCESS;
}

CP210x_STATUS lockRequest(const PartInfo* part, ControlRequest* out) {
    return scalarWrite(part, lockRegister, lockValue, out);
}

size_t stringDescriptor(const void* text, uint8_t length, int32_t isText, uint8_t* out) {
    const uint8_t* in = static_cast<const uint8_t*>(text);
    out[0] = static_cast<uint8_t>(2 + 2 * length);
    out[1] = stringDescriptorType;
    for (size_t i = 0; i < length; ++i) {
        if (isText) {
            // Windows-1252 bytes 0xA0-0xFF are the code points of the same
            // number; 0x80-0x9F are other characters there.
            if (in[i] >= 0x80 && in[i] <= 0x9F) return 0;
            out[2 + 2 * i] = in[i];
            out[3 + 2 * i] = 0;
        } else {
            out[2 + 2 * i] = in[2 * i];
            out[3 + 2 * i] = in[2 * i + 1];
        }
    }
    return out[0];
}

void baudPayload(const BAUD_CONFIG* table, uint8_t* out) {
    // The chip keeps both reloads big-endian and the rate little-endian.
    for (size_t i = 0; i < NUM_BAUD_CONFIGS; ++i) {
        const BAUD_CONFIG& entry = table[i];
        uint8_t* wire = out + 10 * i;
        wire[0] = static_cast<uint8_t>(entry.BaudGen >> 8);
        wire[1] = static_cast<uint8_t>(entry.BaudGen);
        wire[2] = static_cast<uint8_t>(entry.Timer0Reload >> 8);
        wire[3] = static_cast<uint8_t>(entry.Timer0Reload);
        wire[4] = entry.Prescaler;
        wire[5] = 0;
        for (int b = 0; b < 4; ++b) wire[6 + b] = static_cast<uint8_t>(entry.BaudRate >> (8 * b));
    }
    out[baudPayloadSize - 2] = 0;
    out[baudPayloadSize - 1] = 0;
}

CP210x_STATUS transferStatus(int result, uint16_t expected) {
    if (result == LIBUSB_ERROR_NO_DEVICE) return CP210x_DEVICE_NOT_FOUND;
    if (result < 0 || result != expected) return CP210x_DEVICE_IO_FAILED;
    return CP210x_SUCCESS;
}

CP210x_STATUS openStatus(int) {
    // Gone, never there or not ours to open: to the caller it is not found.
    return CP210x_DEVICE_NOT_FOUND;
}
