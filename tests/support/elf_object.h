#pragma once
// A shared object as the dynamic loader sees it, read from the file's bytes
// with <elf.h>'s structures, and the rules a shipped plug-in object must meet.
// Either ELF class; the byte order of the machine running the check only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

struct ElfDynamicEntry {
    int64_t tag = 0;
    uint64_t value = 0;
    size_t offset = 0;  // of the entry in the file
};

struct ElfDynamicSymbol {
    std::string name;
    uint16_t section = 0;  // SHN_UNDEF: a reference the object needs resolved
    unsigned char bind = 0;
    unsigned char type = 0;
    unsigned char visibility = 0;
    size_t offset = 0;  // of the symbol entry in the file
};

struct ElfObject {
    unsigned char elf_class = 0;   // ELFCLASS32 or ELFCLASS64
    unsigned char byte_order = 0;  // ELFDATA2LSB or ELFDATA2MSB
    uint16_t type = 0;             // ET_*
    uint16_t machine = 0;          // EM_*
    uint32_t flags = 0;            // e_flags: on ARM, the EABI version and the float ABI
    std::vector<ElfDynamicEntry> dynamic;
    std::vector<std::string> needed;  // DT_NEEDED names, in order
    std::vector<ElfDynamicSymbol> symbols;

    // Symbols another object can bind to: defined, global or weak, not hidden.
    std::vector<std::string> exported() const;
    bool text_relocations() const;
};

// Empty, with `error` saying why, when the bytes are not a well-formed ELF
// object with a dynamic section. Reads through section headers, which
// stripping keeps.
std::optional<ElfObject> read_elf_object(std::span<const uint8_t> bytes, std::string& error);

// The whole file; empty when it cannot be read.
std::vector<uint8_t> read_file_bytes(const std::string& path);

struct ShippedObjectRules {
    unsigned char elf_class = 0;
    unsigned char byte_order = 0;
    uint16_t machine = 0;
    bool hard_float = false;  // ARM: arguments in VFP registers (armhf)
    std::set<std::string> allowed_needed;
    std::set<std::string> exports;  // exactly these, nothing more
};

// One line per rule broken; empty when the object is fit to ship.
std::vector<std::string> shipped_object_problems(const ElfObject& object, const ShippedObjectRules& rules);

// The rules for a plug-in built for the machine this program is built for:
// the target's object class, machine, calling convention and runtime.
ShippedObjectRules shipped_object_rules_for_this_build();
