#include "program/state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/sim_log.h"

namespace zelv::sim {

namespace {

constexpr char kMagic[8] = {'Z', 'E', 'L', 'V', 'S', 'I', 'M', '\n'};

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint32_t get32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

std::vector<uint8_t> layout_bytes(const McuLayout& l) {
    std::vector<uint8_t> out;
    for (const uint32_t value :
         {static_cast<uint32_t>(l.family_id), l.ram_size, l.eeprom_size, l.flash_size,
          l.flash_block_count, l.flash_sector_size, l.ppage_base, l.ppage_count}) {
        put32(out, value);
    }
    return out;
}

void put_section(std::vector<uint8_t>& out, const char* tag, const uint8_t* data, size_t size) {
    out.insert(out.end(), tag, tag + 4);
    put32(out, static_cast<uint32_t>(size));
    out.insert(out.end(), data, data + size);
}

int read_whole(const char* path, std::vector<uint8_t>* content, bool* exists) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        if (errno == ENOENT) {
            *exists = false;
            return 0;
        }
        const int error = errno;
        sim_error("cannot open state file %s (%s)\n", path, std::strerror(error));
        return error;
    }
    *exists = true;
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content->insert(content->end(), buffer, buffer + got);
    }
    const int error = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(file);
    if (error != 0) {
        sim_error("cannot read state file %s (%s)\n", path, std::strerror(error));
    }
    return error;
}

int invalid(const char* path, const char* why) {
    sim_error("state file %s %s\n", path, why);
    return EINVAL;
}

}  // namespace

int state_load(const char* path, VirtualMcu& mcu, bool* loaded) {
    *loaded = false;
    std::vector<uint8_t> content;
    bool exists = false;
    try {
        const int read = read_whole(path, &content, &exists);
        if (read != 0 || !exists) {
            return read;
        }
        if (content.size() < 10 || std::memcmp(content.data(), kMagic, sizeof kMagic) != 0) {
            return invalid(path, "is not a state file of the virtual target");
        }
        const unsigned version = (static_cast<unsigned>(content[8]) << 8) | content[9];
        if (version != kStateVersion) {
            sim_error("state file %s has format version %u; this simulator reads version %u\n",
                      path, version, kStateVersion);
            return EINVAL;
        }
        const std::vector<uint8_t> layout = layout_bytes(mcu.layout());
        std::vector<uint8_t> registers;
        std::vector<uint8_t> fprot;
        std::vector<uint8_t> ram;
        std::vector<uint8_t> eeprom;
        std::vector<uint8_t> flash;
        std::vector<uint8_t> flash_banks;
        std::vector<uint8_t> eeprom_banks;
        bool layout_seen = false;
        bool ended = false;
        size_t at = 10;
        while (!ended) {
            if (content.size() - at < 8) {
                return invalid(path, "is cut short");
            }
            const std::string tag(content.begin() + static_cast<long>(at),
                                  content.begin() + static_cast<long>(at) + 4);
            const uint32_t length = get32(content.data() + at + 4);
            at += 8;
            if (content.size() - at < length) {
                return invalid(path, "is cut short");
            }
            const auto first = content.begin() + static_cast<long>(at);
            const std::vector<uint8_t> data(first, first + length);
            at += length;
            if (tag == "LAYO") {
                if (data != layout) {
                    return invalid(path, "was saved for another memory layout");
                }
                layout_seen = true;
            } else if (tag == "REGS") {
                registers = data;
            } else if (tag == "FPRT") {
                fprot = data;
            } else if (tag == "RAM ") {
                ram = data;
            } else if (tag == "EEPR") {
                eeprom = data;
            } else if (tag == "FLSH") {
                flash = data;
            } else if (tag == "FSEQ") {
                flash_banks = data;
            } else if (tag == "ESEQ") {
                eeprom_banks = data;
            } else if (tag == "END ") {
                ended = true;
            }
        }
        if (!layout_seen || registers.size() != mcu.registers().size() || fprot.size() != 4 ||
            ram.size() != mcu.ram().size() || eeprom.size() != mcu.eeprom().size() ||
            flash.size() != mcu.flash().size()) {
            return invalid(path, "lacks a section or has one of the wrong size");
        }
        // Files written before the command state was kept have no FSEQ and ESEQ: their
        // modules start idle, as after a reset.
        VirtualMcu loaded_mcu = mcu;
        if ((!flash_banks.empty() && !loaded_mcu.flash_module().load_banks(flash_banks)) ||
            (!eeprom_banks.empty() && !loaded_mcu.eeprom_module().load_banks(eeprom_banks))) {
            return invalid(path, "has command state of another FLASH or EEPROM module");
        }
        for (size_t offset = 0; offset < registers.size(); ++offset) {
            loaded_mcu.restore_register(static_cast<uint16_t>(offset), registers[offset]);
        }
        std::copy(fprot.begin(), fprot.end(), loaded_mcu.fprot_banks().begin());
        loaded_mcu.ram() = ram;
        loaded_mcu.eeprom() = eeprom;
        loaded_mcu.flash() = flash;
        mcu = std::move(loaded_mcu);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    *loaded = true;
    return 0;
}

int state_save(const char* path, const char* part_name, VirtualMcu& mcu) {
    std::vector<uint8_t> out;
    std::string temporary;
    try {
        temporary = std::string(path) + ".tmp";
        out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
        out.push_back(static_cast<uint8_t>(kStateVersion >> 8));
        out.push_back(static_cast<uint8_t>(kStateVersion));
        put_section(out, "PART", reinterpret_cast<const uint8_t*>(part_name),
                    std::strlen(part_name));
        const std::vector<uint8_t> layout = layout_bytes(mcu.layout());
        put_section(out, "LAYO", layout.data(), layout.size());
        std::vector<uint8_t> registers(mcu.registers().size());
        for (size_t offset = 0; offset < registers.size(); ++offset) {
            registers[offset] = mcu.peek_register(static_cast<uint16_t>(offset));
        }
        put_section(out, "REGS", registers.data(), registers.size());
        put_section(out, "FPRT", mcu.fprot_banks().data(), mcu.fprot_banks().size());
        put_section(out, "RAM ", mcu.ram().data(), mcu.ram().size());
        put_section(out, "EEPR", mcu.eeprom().data(), mcu.eeprom().size());
        put_section(out, "FLSH", mcu.flash().data(), mcu.flash().size());
        std::vector<uint8_t> banks;
        mcu.flash_module().save_banks(banks);
        put_section(out, "FSEQ", banks.data(), banks.size());
        banks.clear();
        mcu.eeprom_module().save_banks(banks);
        put_section(out, "ESEQ", banks.data(), banks.size());
        put_section(out, "END ", nullptr, 0);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        const int error = errno;
        sim_error("cannot write state file %s (%s)\n", temporary.c_str(), std::strerror(error));
        return error;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    if (std::fclose(file) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temporary.c_str(), path) != 0) {
        error = errno;
    }
    if (error != 0) {
        sim_error("cannot write state file %s (%s)\n", path, std::strerror(error));
        std::remove(temporary.c_str());
    }
    return error;
}

}  // namespace zelv::sim
