#include "firmware/open_protocol.h"

#include "diag/checked.h"
#include "diag/serial.h"
#include "uefi/loader_globals.h"

void* open_protocol(EFI_HANDLE handle, const EFI_GUID& protocol) {
    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        serial_write("[quillmor] 取协议时引导服务已不可用\r\n");
        return nullptr;
    }
    void* interface = nullptr;
    const EFI_STATUS status =
        boot_services->OpenProtocol(handle, &protocol, &interface, loader_image_handle(), nullptr,
                                    EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
    if (status == EFI_UNSUPPORTED) {
        return nullptr;
    }
    if (status != EFI_SUCCESS) {
        // The status itself is never shown: every other failure reads the same.
        serial_write("[quillmor] 取协议失败（Unexpected）句柄=");
        serial_write_hex(address_of(handle));
        serial_write(kLineEnd);
        return nullptr;
    }
    return interface;
}
