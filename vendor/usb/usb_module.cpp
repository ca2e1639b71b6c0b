// The thirteen operations on real CP210x bridges, through libusb-1.0.
//
// Counting takes a snapshot of the bridges; string reads and opens refer to
// it by index. An open reads the part number once and keeps it with the
// handle, so every write is refused before it goes out when the part can't
// take it. Nothing here claims an interface or detaches the kernel's driver:
// the configuration requests go to the device itself.
#include <libusb.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cp210x_requests.h"
#include "usb_bus.h"
#include "vendor/cp210x.h"

namespace {

struct ListedStrings {
    bool read = false;
    CP210x_STATUS serialStatus = CP210x_SUCCESS;
    CP210x_STATUS productStatus = CP210x_SUCCESS;
    char serial[CP210x_MAX_SERIAL_STRLEN] = {};
    char product[CP210x_MAX_DESCRIPTION_STRLEN] = {};
};

struct OpenBridge {
    libusb_device_handle* handle;
    const PartInfo* part;  // nullptr: a part no row knows, which takes no write
};

struct Module {
    bool initTried = false;
    libusb_context* context = nullptr;
    bool listed = false;
    std::vector<UsbBridge> bridges;
    std::vector<ListedStrings> strings;  // beside bridges, read when first asked for
    // Handles are numbers that are never reused, so a closed or made-up one
    // is recognised instead of followed.
    std::map<uintptr_t, OpenBridge> open;
    uintptr_t lastHandle = 0;
    bool refusalReported = false;

    ~Module() {
        for (auto& o : open) libusb_close(o.second.handle);
        releaseBridges(&bridges);
        if (context != nullptr) libusb_exit(context);
    }
};

Module& module() {
    static Module m;
    return m;
}

libusb_context* context(Module& m) {
    if (!m.initTried) {
        m.initTried = true;
        if (libusb_init(&m.context) != 0) m.context = nullptr;
    }
    return m.context;
}

// A new snapshot of the bridges; a libusb error leaves none.
int list(Module& m) {
    m.listed = true;
    m.strings.clear();
    libusb_context* ctx = context(m);
    if (ctx == nullptr) {
        releaseBridges(&m.bridges);
        return LIBUSB_ERROR_OTHER;
    }
    const int error = findBridges(ctx, sysfsRoot(), &m.bridges);
    m.strings.resize(m.bridges.size());
    return error;
}

// Opens a listed bridge. When the platform refuses access, says once per run
// which node it is and what grants access.
int openBridge(Module& m, const UsbBridge& b, libusb_device_handle** handle) {
    const int error = libusb_open(b.device, handle);
    if (error == LIBUSB_ERROR_ACCESS && !m.refusalReported) {
        m.refusalReported = true;
        fprintf(stderr, "No access to %s: install the udev rule " CP210X_UDEV_RULE
                        " and replug the bridge\n",
                deviceNode(b.bus, b.address).c_str());
    }
    return error;
}

// Serial string and product description from the device, or from sysfs
// where the device can't be opened or doesn't answer.
void readStrings(Module& m, size_t index) {
    ListedStrings& s = m.strings[index];
    if (s.read) return;
    s.read = true;
    const UsbBridge& b = m.bridges[index];
    libusb_device_handle* handle = nullptr;
    const int error = openBridge(m, b, &handle);
    bool serialRead = false, productRead = false;
    if (error == 0) {
        serialRead = readStringDescriptor(handle, b.descriptor.iSerialNumber, s.serial, sizeof s.serial);
        productRead = readStringDescriptor(handle, b.descriptor.iProduct, s.product, sizeof s.product);
        libusb_close(handle);
    }
    const std::string port = portName(b.bus, b.ports);
    if (!serialRead) serialRead = readSysfsString(sysfsRoot(), port, "serial", s.serial, sizeof s.serial);
    if (!productRead) productRead = readSysfsString(sysfsRoot(), port, "product", s.product, sizeof s.product);
    const CP210x_STATUS failed = error != 0 ? openStatus(error) : CP210x_DEVICE_IO_FAILED;
    s.serialStatus = serialRead ? CP210x_SUCCESS : failed;
    s.productStatus = productRead ? CP210x_SUCCESS : failed;
}

// Copies `text` into a buffer of `size` bytes, cut to fit and terminated.
void copyText(const char* text, void* buffer, size_t size) {
    const size_t n = strnlen(text, size - 1);
    memcpy(buffer, text, n);
    static_cast<char*>(buffer)[n] = '\0';
}

OpenBridge* openBridgeOf(Module& m, CP210x_HANDLE hDev) {
    auto it = m.open.find(reinterpret_cast<uintptr_t>(hDev));
    return it != m.open.end() ? &it->second : nullptr;
}

// A write: the handle, then the request as the part and the arguments allow
// it, then one transfer.
template <typename Build>
CP210x_STATUS write(CP210x_HANDLE hDev, Build build) {
    OpenBridge* b = openBridgeOf(module(), hDev);
    if (b == nullptr) return CP210x_INVALID_HANDLE;
    ControlRequest request;
    if (CP210x_STATUS refused = build(b->part, &request)) return refused;
    return transferStatus(sendRequest(b->handle, &request), request.length);
}

}  // namespace

extern "C" {

CP210x_STATUS CP210X_API CP210x_GetNumDevices(uint32_t* count) {
    if (count == nullptr) return CP210x_INVALID_PARAMETER;
    Module& m = module();
    const int error = list(m);
    *count = static_cast<uint32_t>(m.bridges.size());
    return error == 0 ? CP210x_SUCCESS : CP210x_DEVICE_IO_FAILED;
}

CP210x_STATUS CP210X_API CP210x_GetProductString(uint32_t index, void* buffer, uint32_t selector) {
    if (buffer == nullptr) return CP210x_INVALID_PARAMETER;
    Module& m = module();
    if (!m.listed) list(m);
    if (index >= m.bridges.size()) return CP210x_INVALID_PARAMETER;
    switch (selector) {
        case CP210x_RETURN_SERIAL_NUMBER:
            readStrings(m, index);
            copyText(m.strings[index].serial, buffer, CP210x_MAX_SERIAL_STRLEN);
            return m.strings[index].serialStatus;
        case CP210x_RETURN_DESCRIPTION:
            readStrings(m, index);
            copyText(m.strings[index].product, buffer, CP210x_MAX_DESCRIPTION_STRLEN);
            return m.strings[index].productStatus;
        case CP210x_RETURN_FULL_PATH: {
            const UsbBridge& b = m.bridges[index];
            copyText(deviceNode(b.bus, b.address).c_str(), buffer, CP210x_MAX_PATH_STRLEN);
            return CP210x_SUCCESS;
        }
        default:
            return CP210x_INVALID_PARAMETER;
    }
}

CP210x_STATUS CP210X_API CP210x_Open(uint32_t index, CP210x_HANDLE* hDev) {
    if (hDev == nullptr) return CP210x_INVALID_PARAMETER;
    *hDev = nullptr;
    Module& m = module();
    if (!m.listed) list(m);
    if (index >= m.bridges.size()) return CP210x_DEVICE_NOT_FOUND;
    libusb_device_handle* handle = nullptr;
    const int error = openBridge(m, m.bridges[index], &handle);
    if (error != 0) return openStatus(error);

    ControlRequest request = partNumberRequest();
    const int result = sendRequest(handle, &request);
    const PartAnswer answer = partFromAnswer(result, request.data[0]);
    if (answer.status != CP210x_SUCCESS) {
        libusb_close(handle);
        return answer.status;
    }
    m.open[++m.lastHandle] = OpenBridge{handle, answer.part};
    *hDev = reinterpret_cast<CP210x_HANDLE>(m.lastHandle);
    return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_Close(CP210x_HANDLE hDev) {
    Module& m = module();
    auto it = m.open.find(reinterpret_cast<uintptr_t>(hDev));
    if (it == m.open.end()) return CP210x_INVALID_HANDLE;
    libusb_close(it->second.handle);
    m.open.erase(it);
    return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_SetVid(CP210x_HANDLE hDev, uint16_t vid) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) { return vendorIdRequest(part, vid, r); });
}

CP210x_STATUS CP210X_API CP210x_SetPid(CP210x_HANDLE hDev, uint16_t pid) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) { return productIdRequest(part, pid, r); });
}

CP210x_STATUS CP210X_API CP210x_SetProductString(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                 int32_t isText) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) {
        return productStringRequest(part, text, length, isText, r);
    });
}

CP210x_STATUS CP210X_API CP210x_SetSerialNumber(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                int32_t isText) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) {
        return serialStringRequest(part, text, length, isText, r);
    });
}

CP210x_STATUS CP210X_API CP210x_SetSelfPower(CP210x_HANDLE hDev, int32_t selfPower) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) { return selfPowerRequest(part, selfPower, r); });
}

CP210x_STATUS CP210X_API CP210x_SetMaxPower(CP210x_HANDLE hDev, uint8_t maxPower) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) { return maxPowerRequest(part, maxPower, r); });
}

CP210x_STATUS CP210X_API CP210x_SetDeviceVersion(CP210x_HANDLE hDev, uint16_t version) {
    return write(hDev,
                 [&](const PartInfo* part, ControlRequest* r) { return deviceVersionRequest(part, version, r); });
}

CP210x_STATUS CP210X_API CP210x_SetBaudRateConfig(CP210x_HANDLE hDev, BAUD_CONFIG* table) {
    return write(hDev, [&](const PartInfo* part, ControlRequest* r) { return baudTableRequest(part, table, r); });
}

CP210x_STATUS CP210X_API CP210x_SetLockValue(CP210x_HANDLE hDev) {
    return write(hDev, [](const PartInfo* part, ControlRequest* r) { return lockRequest(part, r); });
}

}  // extern "C"
