// The interface operations table: the contract every interface fills in.
//
// One constant entry per interface. The driver calls `open` once, then one slot per
// operation option in command-line order, then `close`. Every slot returns 0 or an errno
// value (EINVAL for invalid requests, ENOMEM, EIO for refused or failed target actions,
// ETIMEDOUT, or a system error passed through). A slot reports its own failure through
// report_error before it returns; the driver adds nothing. A file argument is the path as
// it stood on the command line.
#pragma once

#include <cerrno>
#include <cstdint>

#include "base/console.h"

namespace zelv {

struct InterfaceOps {
    // Exact, case-sensitive name given with -i ("tbdml", "bdm12pod", "lrae", "sm").
    const char* name;

    // Connects to the target. Called once, after the target model was built. On failure
    // the interface has released everything it took; `close` is not called.
    int (*open)();

    // Releases the link. Called once at the end, or after the first failed operation
    // (its result is then ignored).
    int (*close)();

    // -X: loads an S-record file into target RAM and starts it.
    int (*ram_run)(const char* path);

    // -U: unsecures a secured MCU.
    int (*unsecure)();

    // -S: secures the MCU.
    int (*secure)();

    // -B: reads the EEPROM into an S-record file.
    int (*eeprom_read)(const char* path);

    // -A: erases the EEPROM (verified under -v).
    int (*eeprom_erase)();

    // -C: writes an S-record file into the EEPROM.
    int (*eeprom_write)(const char* path);

    // -D: programs the EEPROM protection byte; range is "all", "64B" ... "512B".
    int (*eeprom_protect)(const char* range);

    // -G: reads the FLASH into an S-record file in the selected address format.
    int (*flash_read)(const char* path);

    // -E passes 0 (leave the security byte secured), -F passes 1 (program it unsecured).
    int (*flash_erase)(int unsecure);

    // -H: programs an S-record file into erased FLASH.
    int (*flash_write)(const char* path);

    // Never invoked; a no-op in the BDM entries, nullptr elsewhere.
    int (*reserved)();

    // -R: resets the target into normal mode.
    int (*reset)();

    // Checked before open, with nothing touched (each may be nullptr: nothing to check).

    // Refuses a FLASH image (`image` in the selected address format, 0xFF where the file
    // has no data) that writes into an area the resident program on the target needs.
    // Returns 0, or EINVAL after naming the overlapping range and the area.
    int (*flash_image_check)(const uint8_t* image, uint32_t size);

    // Refuses a -X file whose data lies outside the RAM window the target model already
    // knows before the connection (the reader's "data block address ... out of range" with
    // file and line, EINVAL); where the window is only found on the connected MCU, accepts.
    int (*ram_image_check)(const char* path);

    // The operation letters this interface refuses whatever the target ("XSU" ...): their
    // slots only report and fail, so the driver calls them before open.
    const char* refused_operations;

    // The letters of the connection options this interface reads, of "pboYZ"; the driver
    // warns about every other one given. nullptr: it reads them all.
    const char* connection_options;
    // --verify-flash: compares the FLASH with an S-record file, changing nothing: the
    // interface hands its FLASH read to flash_verify_frame, as it hands it to the write
    // frame for -v. nullptr: the interface cannot read the FLASH ("FLASH verify: operation
    // not supported").
    int (*flash_verify)(const char* path);

    // --verify-eeprom: the same for the EEPROM, as -v reads back after -C.
    int (*eeprom_verify)(const char* path);
};

// For the slots an interface refuses: reports "<operation>: operation not supported" and
// returns EINVAL.
[[nodiscard]] inline int interface_not_supported(const char* operation) {
    report_error("%s: operation not supported\n", operation);
    return EINVAL;
}

}  // namespace zelv
