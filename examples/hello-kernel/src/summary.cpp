#include "summary.h"

#include "record.h"
#include "serial.h"

bool print_loader(const quillmor_handoff& record) {
    print("hello-kernel: booted by ", Field{record.loader_name, sizeof(record.loader_name)}, " ",
          Field{record.loader_version, sizeof(record.loader_version)}, ", handoff record at ",
          Hex{reinterpret_cast<uintptr_t>(&record)}, " (version ", record.version, ", ",
          record.size, " bytes)\r\n");
    print("kernel: at physical ", Hex{record.kernel_physical_base}, ", linked at ",
          Hex{record.kernel_virtual_base}, "; direct map at ", Hex{record.direct_map_offset},
          "\r\n");
    return true;
}

void print_memory(const quillmor_handoff& record) {
    uint64_t usable = 0, reclaimable = 0;
    uint32_t usable_regions = 0;
    print("memory regions: ", record.region_count, "\r\n");
    for (const quillmor_region& region : regions(record)) {
        // Half-open ranges: the end is the first byte after the region.
        print("  [", Hex{region.base, 12}, ", ", Hex{region.base + region.length, 12}, ")",
              Column{36}, Size{region.length}, Column{50}, region_type_name(region.type), "\r\n");
        if (region.type == QUILLMOR_REGION_USABLE) {
            usable += region.length;
            ++usable_regions;
        } else if (region.type == QUILLMOR_REGION_BOOT_RECLAIMABLE) {
            reclaimable += region.length;
        }
    }
    // Boot reclaimable memory is the firmware's: the kernel may take it over
    // once it runs on its own GDT, IDT and stack, none of which live there.
    print("usable memory: ", Size{usable}, " in ", usable_regions, " regions, plus ",
          Size{reclaimable}, " boot reclaimable\r\n");
}

void print_modules(const quillmor_handoff& record) {
    print("modules: ", record.module_count, "\r\n");
    for (const quillmor_module& module : modules(record)) {
        print("  ", Field{module.name, sizeof(module.name)}, ": ", Size{module.length}, " (",
              module.length, " bytes) at ", Hex{module.address}, ", loaded from ",
              Field{module.path, sizeof(module.path)}, "\r\n");
        // Module addresses are already direct-map addresses.
        print_ustar_members(reinterpret_cast<const volatile uint8_t*>(module.address),
                            module.length);
    }
}

namespace {

void print_channel(const char* name, uint8_t size, uint8_t shift) {
    if (size == 0) {
        print(name, " none");
        return;
    }
    print(name, " bits ", shift, "-", shift + size - 1);
}

} // namespace

void print_framebuffer(const quillmor_handoff& record) {
    if (record.framebuffer_count == 0) {
        print("framebuffer: none (the firmware offered no linear framebuffer)\r\n");
        return;
    }
    print("framebuffer: ", record.framebuffer_width, "x", record.framebuffer_height, ", pitch ",
          record.framebuffer_pitch, " bytes, ", record.framebuffer_bits_per_pixel,
          " bits per pixel, at ", Hex{record.framebuffer_address}, "\r\n");
    print("  pixel layout: ");
    print_channel("red", record.red_mask_size, record.red_mask_shift);
    print_channel(", green", record.green_mask_size, record.green_mask_shift);
    print_channel(", blue", record.blue_mask_size, record.blue_mask_shift);
    print("\r\n");
}

bool print_boot_processor(const quillmor_handoff& record) {
    for (const quillmor_processor& processor : processors(record)) {
        if (processor.flags & QUILLMOR_PROCESSOR_BOOT) {
            print("boot processor: id ", processor.id, " (", record.processor_count,
                  " processor(s) in the table)\r\n");
            if (processor.id == record.boot_processor_id) {
                return true;
            }
            print("  PROBLEM: the record names processor ", record.boot_processor_id,
                  " as the boot processor\r\n");
            return false;
        }
    }
    print("boot processor: PROBLEM: no processor entry carries the boot flag\r\n");
    return false;
}
