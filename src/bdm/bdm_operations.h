// The operations behind the slots of the BDM interfaces (tbdml, bdm12pod). They drive the
// active pod; the contracts of the slots are those of the interface operations table.
#pragma once

namespace zelv {

// close: the active pod's pod_close, its result handed back.
[[nodiscard]] int bdm_close();

// reserved: does nothing and succeeds.
[[nodiscard]] int bdm_reserved();

// -R: prints "reset: normal mode" (verbose), then the active pod's reset_normal. The MCU runs
// its own program afterwards; nothing reconnects.
[[nodiscard]] int bdm_reset();

// -X: loads an S-record file into target RAM and starts it there.
[[nodiscard]] int bdm_ram_run(const char* path);

// Before open: a -X file checked against the RAM window the description fixes (the HCS12X's
// window; an INITRM init byte on the HC12 and HCS12); other parts pass.
[[nodiscard]] int bdm_ram_image_check(const char* path);

// -U, -S: unsecure (erase and program the security byte unsecured) and secure the part.
[[nodiscard]] int bdm_unsecure();
[[nodiscard]] int bdm_secure();

// -B, -A, -C, -D: EEPROM read, erase, write and protect.
[[nodiscard]] int bdm_eeprom_read(const char* path);
[[nodiscard]] int bdm_eeprom_erase();
[[nodiscard]] int bdm_eeprom_write(const char* path);
[[nodiscard]] int bdm_eeprom_protect(const char* range);

// -G, -E/-F, -H: FLASH read, erase (unsecure: program the security byte unsecured after the
// erase) and write.
[[nodiscard]] int bdm_flash_read(const char* path);
[[nodiscard]] int bdm_flash_erase(int unsecure);
[[nodiscard]] int bdm_flash_write(const char* path);

// --verify-flash, --verify-eeprom: compare the FLASH or EEPROM with a file, as -v does after
// -H and -C, through the read the description chooses for the FLASH (bdm_flash_read) and
// the pod's block reads for the EEPROM. Refused on a secured part unless -f.
[[nodiscard]] int bdm_flash_verify(const char* path);
[[nodiscard]] int bdm_eeprom_verify(const char* path);

}  // namespace zelv
