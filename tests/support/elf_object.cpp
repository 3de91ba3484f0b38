#include "tests/support/elf_object.h"

#include <elf.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

template <class Ehdr, class Shdr, class Dyn, class Sym>
struct Layout {
    using Header = Ehdr;
    using Section = Shdr;
    using DynEntry = Dyn;
    using Symbol = Sym;
};
using Layout32 = Layout<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn, Elf32_Sym>;
using Layout64 = Layout<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn, Elf64_Sym>;

// Offsets and sizes come from the file: every read is checked against its end.
template <class T>
bool load(std::span<const uint8_t> bytes, uint64_t offset, T& out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

std::nullopt_t fail(std::string& error, const char* why) {
    error = why;
    return std::nullopt;
}

bool fits(std::span<const uint8_t> bytes, uint64_t offset, uint64_t size) {
    return offset <= bytes.size() && size <= bytes.size() - offset;
}

// A NUL-terminated name inside a string-table section.
template <class Shdr>
std::optional<std::string> name_at(std::span<const uint8_t> bytes, const Shdr& strtab, uint64_t index) {
    if (index >= strtab.sh_size) return std::nullopt;
    const auto* begin = reinterpret_cast<const char*>(bytes.data() + strtab.sh_offset + index);
    const auto* end = reinterpret_cast<const char*>(bytes.data() + strtab.sh_offset + strtab.sh_size);
    const auto* nul = std::find(begin, end, '\0');
    if (nul == end) return std::nullopt;
    return std::string(begin, nul);
}

template <class L>
std::optional<ElfObject> read_as(std::span<const uint8_t> bytes, std::string& error) {
    using Shdr = typename L::Section;
    typename L::Header header{};
    if (!load(bytes, 0, header)) return fail(error, "shorter than its ELF header");
    if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 ||
        !fits(bytes, header.e_shoff, uint64_t{header.e_shnum} * sizeof(Shdr)))
        return fail(error, "section header table missing or past the end of the file");

    std::vector<Shdr> sections(header.e_shnum);
    for (size_t i = 0; i < sections.size(); ++i) load(bytes, header.e_shoff + i * sizeof(Shdr), sections[i]);
    // A section's contents and its linked string table, both inside the file.
    auto usable = [&](const Shdr& s) {
        return s.sh_type != SHT_NOBITS && fits(bytes, s.sh_offset, s.sh_size) && s.sh_link < sections.size() &&
               sections[s.sh_link].sh_type == SHT_STRTAB &&
               fits(bytes, sections[s.sh_link].sh_offset, sections[s.sh_link].sh_size);
    };

    ElfObject object;
    object.elf_class = bytes[EI_CLASS];
    object.byte_order = bytes[EI_DATA];
    object.type = header.e_type;
    object.machine = header.e_machine;
    object.flags = header.e_flags;

    const auto dynamic = std::find_if(sections.begin(), sections.end(), [](const Shdr& s) { return s.sh_type == SHT_DYNAMIC; });
    if (dynamic == sections.end()) return fail(error, "no dynamic section");
    if (!usable(*dynamic)) return fail(error, "dynamic section past the end of the file");
    const Shdr& dynstr = sections[dynamic->sh_link];
    for (uint64_t at = dynamic->sh_offset; at + sizeof(typename L::DynEntry) <= dynamic->sh_offset + dynamic->sh_size;
         at += sizeof(typename L::DynEntry)) {
        typename L::DynEntry entry{};
        load(bytes, at, entry);
        if (entry.d_tag == DT_NULL) break;
        object.dynamic.push_back({static_cast<int64_t>(entry.d_tag), static_cast<uint64_t>(entry.d_un.d_val),
                                  static_cast<size_t>(at)});
        if (entry.d_tag == DT_NEEDED) {
            auto name = name_at(bytes, dynstr, entry.d_un.d_val);
            if (!name) return fail(error, "needed-library name outside the string table");
            object.needed.push_back(std::move(*name));
        }
    }

    const auto dynsym = std::find_if(sections.begin(), sections.end(), [](const Shdr& s) { return s.sh_type == SHT_DYNSYM; });
    if (dynsym == sections.end()) return object;  // references nothing and defines nothing
    if (!usable(*dynsym)) return fail(error, "dynamic symbol table past the end of the file");
    const Shdr& symstr = sections[dynsym->sh_link];
    // Entry 0 is the reserved null symbol.
    for (uint64_t at = dynsym->sh_offset + sizeof(typename L::Symbol);
         at + sizeof(typename L::Symbol) <= dynsym->sh_offset + dynsym->sh_size; at += sizeof(typename L::Symbol)) {
        typename L::Symbol sym{};
        load(bytes, at, sym);
        auto name = name_at(bytes, symstr, sym.st_name);
        if (!name) return fail(error, "symbol name outside the string table");
        object.symbols.push_back({std::move(*name), sym.st_shndx, static_cast<unsigned char>(ELF32_ST_BIND(sym.st_info)),
                                  static_cast<unsigned char>(ELF32_ST_TYPE(sym.st_info)),
                                  static_cast<unsigned char>(ELF32_ST_VISIBILITY(sym.st_other)), static_cast<size_t>(at)});
    }
    return object;
}

}  // namespace

std::vector<std::string> ElfObject::exported() const {
    std::vector<std::string> names;
    for (const auto& s : symbols) {
        const bool visible_binding = s.bind == STB_GLOBAL || s.bind == STB_WEAK || s.bind == STB_GNU_UNIQUE;
        const bool visible = s.visibility == STV_DEFAULT || s.visibility == STV_PROTECTED;
        if (s.section != SHN_UNDEF && visible_binding && visible) names.push_back(s.name);
    }
    return names;
}

bool ElfObject::text_relocations() const {
    return std::any_of(dynamic.begin(), dynamic.end(), [](const ElfDynamicEntry& e) {
        return e.tag == DT_TEXTREL || (e.tag == DT_FLAGS && (e.value & DF_TEXTREL));
    });
}

std::optional<ElfObject> read_elf_object(std::span<const uint8_t> bytes, std::string& error) {
    if (bytes.size() < EI_NIDENT || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0)
        return fail(error, "not an ELF file");
    const unsigned char native = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (bytes[EI_DATA] != native) return fail(error, "byte order differs from this machine's");
    switch (bytes[EI_CLASS]) {
        case ELFCLASS32: return read_as<Layout32>(bytes, error);
        case ELFCLASS64: return read_as<Layout64>(bytes, error);
        default: return fail(error, "unknown ELF class");
    }
}

std::vector<uint8_t> read_file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> shipped_object_problems(const ElfObject& object, const ShippedObjectRules& rules) {
    std::vector<std::string> problems;
    if (object.elf_class != rules.elf_class)
        problems.push_back("ELF class " + std::to_string(object.elf_class) + ", expected " + std::to_string(rules.elf_class));
    if (object.byte_order != rules.byte_order) problems.push_back("byte order " + std::to_string(object.byte_order));
    if (object.type != ET_DYN) problems.push_back("not a shared object");
    if (object.machine != rules.machine)
        problems.push_back("machine " + std::to_string(object.machine) + ", expected " + std::to_string(rules.machine));
    if (rules.machine == EM_ARM) {
        if ((object.flags & EF_ARM_EABIMASK) != EF_ARM_EABI_VER5) problems.push_back("not ARM EABI version 5");
        if (rules.hard_float && !(object.flags & EF_ARM_ABI_FLOAT_HARD))
            problems.push_back("not the hard-float calling convention");
    }
    for (const auto& lib : object.needed)
        if (!rules.allowed_needed.count(lib)) problems.push_back("needs " + lib);
    const auto exported = object.exported();
    for (const auto& name : rules.exports)
        if (std::find(exported.begin(), exported.end(), name) == exported.end())
            problems.push_back("does not export " + name);
    for (const auto& name : exported)
        if (!rules.exports.count(name)) problems.push_back("also exports " + name);
    if (object.text_relocations()) problems.push_back("has text relocations");
    return problems;
}

ShippedObjectRules shipped_object_rules_for_this_build() {
    ShippedObjectRules rules;
    rules.byte_order = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    rules.allowed_needed = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"};
    rules.exports = {"get_providers"};
#if defined(__arm__)
    rules.elf_class = ELFCLASS32;
    rules.machine = EM_ARM;
    rules.hard_float = true;  // armhf, whatever this program was compiled with
    rules.allowed_needed.insert("ld-linux-armhf.so.3");
#elif defined(__aarch64__)
    rules.elf_class = ELFCLASS64;
    rules.machine = EM_AARCH64;
    rules.allowed_needed.insert("ld-linux-aarch64.so.1");
#elif defined(__x86_64__)
    rules.elf_class = ELFCLASS64;
    rules.machine = EM_X86_64;
    rules.allowed_needed.insert("ld-linux-x86-64.so.2");
#else
#error "no shipped-object rules for this machine"
#endif
    // Instrumented builds link the plug-in to their sanitizer runtimes.
#if defined(__SANITIZE_ADDRESS__)
    rules.allowed_needed.insert({"libasan.so.8", "libubsan.so.1"});
#endif
#if defined(__SANITIZE_THREAD__)
    rules.allowed_needed.insert("libtsan.so.2");
#endif
    return rules;
}
