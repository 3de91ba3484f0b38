// The built voka.so read as a file, the way it ships: the machine and calling
// convention it was built for, only the standard runtime needed, get_providers
// its one export, no text relocations. Each rule is also shown to catch an
// object that breaks it, made by altering a copy of the real one.
#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/elf_object.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& shipped() {
    static const Bytes bytes = read_file_bytes(VOKA_SO_PATH);
    return bytes;
}

ElfObject read_or_fail(const Bytes& bytes) {
    std::string error;
    auto object = read_elf_object(bytes, error);
    EXPECT_TRUE(object.has_value()) << error;
    return object.value_or(ElfObject{});
}

// An unreadable object is a problem like any other.
std::vector<std::string> problems_of(const Bytes& bytes) {
    std::string error;
    const auto object = read_elf_object(bytes, error);
    if (!object) return {"unreadable: " + error};
    return shipped_object_problems(*object, shipped_object_rules_for_this_build());
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

template <class T>
void poke(Bytes& bytes, size_t offset, T value) {
    ASSERT_LE(offset + sizeof value, bytes.size());
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Overwrites every NUL-terminated occurrence of `from` with `to`, padded with
// NULs; returns how many there were.
int rename_string(Bytes& bytes, const std::string& from, const std::string& to) {
    int count = 0;
    const std::string needle = from + '\0';
    for (auto it = bytes.begin();
         (it = std::search(it, bytes.end(), needle.begin(), needle.end())) != bytes.end(); it += needle.size()) {
        std::fill_n(it, from.size(), 0);
        std::copy(to.begin(), to.end(), it);
        ++count;
    }
    return count;
}

bool is_64(const Bytes& bytes) { return bytes[EI_CLASS] == ELFCLASS64; }

// Rewrites one dynamic entry in place, in the object's own entry width.
void set_dynamic(Bytes& bytes, size_t offset, int64_t tag, uint64_t value) {
    if (is_64(bytes)) {
        poke(bytes, offset + offsetof(Elf64_Dyn, d_tag), static_cast<Elf64_Sxword>(tag));
        poke(bytes, offset + offsetof(Elf64_Dyn, d_un), static_cast<Elf64_Xword>(value));
    } else {
        poke(bytes, offset + offsetof(Elf32_Dyn, d_tag), static_cast<Elf32_Sword>(tag));
        poke(bytes, offset + offsetof(Elf32_Dyn, d_un), static_cast<Elf32_Word>(value));
    }
}

// An entry the checks do not read, free to be retagged.
const ElfDynamicEntry& spare_entry(const ElfObject& object) {
    const auto it = std::find_if(object.dynamic.begin(), object.dynamic.end(), [](const ElfDynamicEntry& e) {
        return e.tag == DT_RELCOUNT || e.tag == DT_RELACOUNT || e.tag == DT_VERSYM;
    });
    EXPECT_NE(it, object.dynamic.end());
    return it == object.dynamic.end() ? object.dynamic.front() : *it;
}

ElfObject armhf_object(uint32_t flags) {
    ElfObject object;
    object.elf_class = ELFCLASS32;
    object.byte_order = ELFDATA2LSB;
    object.type = ET_DYN;
    object.machine = EM_ARM;
    object.flags = flags;
    object.needed = {"libstdc++.so.6", "libc.so.6"};
    object.symbols = {{"get_providers", 11, STB_GLOBAL, STT_FUNC, STV_DEFAULT, 0}};
    return object;
}

ShippedObjectRules armhf_rules() {
    ShippedObjectRules rules;
    rules.elf_class = ELFCLASS32;
    rules.byte_order = ELFDATA2LSB;
    rules.machine = EM_ARM;
    rules.hard_float = true;
    rules.allowed_needed = {"libstdc++.so.6", "libc.so.6"};
    rules.exports = {"get_providers"};
    return rules;
}

}  // namespace

TEST(ShippedObject, MeetsTheRulesForThisMachine) {
    ASSERT_FALSE(shipped().empty()) << VOKA_SO_PATH;
    const auto problems = problems_of(shipped());
    for (const auto& p : problems) ADD_FAILURE() << VOKA_SO_PATH << ": " << p;
    RecordProperty("bytes", static_cast<int>(shipped().size()));
}

TEST(ShippedObject, ReadsTheRuntimeItNeedsAndTheEntryPointItDefines) {
    const auto object = read_or_fail(shipped());
    EXPECT_TRUE(has(object.needed, "libc.so.6"));
    EXPECT_TRUE(has(object.needed, "libstdc++.so.6"));
    EXPECT_EQ(object.exported(), std::vector<std::string>{"get_providers"});
    const auto entry = std::find_if(object.symbols.begin(), object.symbols.end(),
                                    [](const ElfDynamicSymbol& s) { return s.name == "get_providers"; });
    ASSERT_NE(entry, object.symbols.end());
    EXPECT_EQ(entry->type, STT_FUNC);
    EXPECT_EQ(entry->bind, STB_GLOBAL);
    // The host's classes and the runtime's functions stay references.
    EXPECT_GT(std::count_if(object.symbols.begin(), object.symbols.end(),
                            [](const ElfDynamicSymbol& s) { return s.section == SHN_UNDEF; }),
              10);
    EXPECT_FALSE(object.text_relocations());
}

TEST(ShippedObject, AnotherMachinesObjectIsRefused) {
    Bytes bytes = shipped();
    const uint16_t other = read_or_fail(bytes).machine == EM_ARM ? EM_X86_64 : EM_ARM;
    poke(bytes, offsetof(Elf32_Ehdr, e_machine), other);  // same place in both classes
    const auto problems = problems_of(bytes);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("machine ", 0), 0u) << problems[0];
}

TEST(ShippedObject, AnObjectOfTheOtherClassIsRefused) {
    Bytes bytes = shipped();
    bytes[EI_CLASS] = is_64(bytes) ? ELFCLASS32 : ELFCLASS64;
    EXPECT_FALSE(problems_of(bytes).empty());
}

TEST(ShippedObject, ANonElfFileIsUnreadable) {
    Bytes bytes = shipped();
    bytes[EI_MAG1] = 'X';
    EXPECT_EQ(problems_of(bytes), std::vector<std::string>{"unreadable: not an ELF file"});
}

TEST(ShippedObject, AnyOtherNeededLibraryIsReported) {
    Bytes bytes = shipped();
    ASSERT_GE(rename_string(bytes, "libgcc_s.so.1", "libjsoncpp.so"), 1);
    EXPECT_TRUE(has(read_or_fail(bytes).needed, "libjsoncpp.so"));
    EXPECT_EQ(problems_of(bytes), std::vector<std::string>{"needs libjsoncpp.so"});
}

TEST(ShippedObject, AMangledEntryPointIsReported) {
    Bytes bytes = shipped();
    ASSERT_GE(rename_string(bytes, "get_providers", "_Z3getv"), 1);
    const auto problems = problems_of(bytes);
    EXPECT_TRUE(has(problems, "does not export get_providers"));
    EXPECT_TRUE(has(problems, "also exports _Z3getv"));
}

TEST(ShippedObject, AnyOtherExportIsReported) {
    Bytes bytes = shipped();
    const auto object = read_or_fail(bytes);
    const auto entry = std::find_if(object.symbols.begin(), object.symbols.end(),
                                    [](const ElfDynamicSymbol& s) { return s.name == "get_providers"; });
    const auto reference = std::find_if(object.symbols.begin(), object.symbols.end(), [](const ElfDynamicSymbol& s) {
        return s.section == SHN_UNDEF && s.bind == STB_GLOBAL && !s.name.empty();
    });
    ASSERT_NE(entry, object.symbols.end());
    ASSERT_NE(reference, object.symbols.end());
    // The reference becomes a definition in the entry point's section.
    const size_t field = is_64(bytes) ? offsetof(Elf64_Sym, st_shndx) : offsetof(Elf32_Sym, st_shndx);
    poke(bytes, reference->offset + field, entry->section);
    EXPECT_EQ(problems_of(bytes), std::vector<std::string>{"also exports " + reference->name});

    // Hidden, it binds nowhere else and is no export.
    const size_t other = is_64(bytes) ? offsetof(Elf64_Sym, st_other) : offsetof(Elf32_Sym, st_other);
    poke(bytes, reference->offset + other, static_cast<unsigned char>(STV_HIDDEN));
    EXPECT_TRUE(problems_of(bytes).empty());
}

TEST(ShippedObject, TextRelocationsAreReportedEitherWay) {
    Bytes tagged = shipped();
    set_dynamic(tagged, spare_entry(read_or_fail(tagged)).offset, DT_TEXTREL, 0);
    EXPECT_EQ(problems_of(tagged), std::vector<std::string>{"has text relocations"});

    Bytes flagged = shipped();
    set_dynamic(flagged, spare_entry(read_or_fail(flagged)).offset, DT_FLAGS, DF_TEXTREL | DF_BIND_NOW);
    EXPECT_EQ(problems_of(flagged), std::vector<std::string>{"has text relocations"});

    Bytes other_flags = shipped();
    set_dynamic(other_flags, spare_entry(read_or_fail(other_flags)).offset, DT_FLAGS, DF_BIND_NOW);
    EXPECT_TRUE(problems_of(other_flags).empty());
}

TEST(ShippedObject, ACutFileIsRefusedWithoutReadingPastItsEnd) {
    const Bytes& whole = shipped();
    // Every cut through the header, then cuts spread over the rest; the
    // section headers sit at the end, so every cut loses some.
    std::vector<size_t> cuts;
    for (size_t n = 0; n <= sizeof(Elf64_Ehdr); ++n) cuts.push_back(n);
    for (size_t n = sizeof(Elf64_Ehdr); n < whole.size(); n += whole.size() / 97 + 1) cuts.push_back(n);
    cuts.push_back(whole.size() - 1);
    for (size_t n : cuts) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        const auto problems = problems_of(cut);
        ASSERT_EQ(problems.size(), 1u) << n;
        EXPECT_EQ(problems[0].rfind("unreadable: ", 0), 0u) << n << ": " << problems[0];
    }
}

TEST(ShippedObjectRules, ArmObjectsMustUseTheHardFloatConventionOfEabi5) {
    EXPECT_TRUE(shipped_object_problems(armhf_object(EF_ARM_EABI_VER5 | EF_ARM_ABI_FLOAT_HARD), armhf_rules()).empty());
    EXPECT_EQ(shipped_object_problems(armhf_object(EF_ARM_EABI_VER5 | EF_ARM_ABI_FLOAT_SOFT), armhf_rules()),
              std::vector<std::string>{"not the hard-float calling convention"});
    EXPECT_EQ(shipped_object_problems(armhf_object(EF_ARM_EABI_VER5), armhf_rules()),
              std::vector<std::string>{"not the hard-float calling convention"});
    EXPECT_EQ(shipped_object_problems(armhf_object(EF_ARM_EABI_VER4 | EF_ARM_ABI_FLOAT_HARD), armhf_rules()),
              std::vector<std::string>{"not ARM EABI version 5"});
}

TEST(ShippedObjectRules, ClassByteOrderAndTypeAreEachChecked) {
    auto object = armhf_object(EF_ARM_EABI_VER5 | EF_ARM_ABI_FLOAT_HARD);
    object.elf_class = ELFCLASS64;
    object.byte_order = ELFDATA2MSB;
    object.type = ET_EXEC;
    EXPECT_EQ(shipped_object_problems(object, armhf_rules()),
              (std::vector<std::string>{"ELF class 2, expected 1", "byte order 2", "not a shared object"}));
}

TEST(ShippedObjectRules, WeakAndUniqueDefinitionsAreExportsButLocalOnesAreNot) {
    auto object = armhf_object(EF_ARM_EABI_VER5 | EF_ARM_ABI_FLOAT_HARD);
    object.symbols.push_back({"weak_one", 11, STB_WEAK, STT_FUNC, STV_DEFAULT, 0});
    object.symbols.push_back({"unique_one", 12, STB_GNU_UNIQUE, STT_OBJECT, STV_PROTECTED, 0});
    object.symbols.push_back({"local_one", 11, STB_LOCAL, STT_FUNC, STV_DEFAULT, 0});
    object.symbols.push_back({"reference", SHN_UNDEF, STB_GLOBAL, STT_FUNC, STV_DEFAULT, 0});
    EXPECT_EQ(object.exported(), (std::vector<std::string>{"get_providers", "weak_one", "unique_one"}));
    EXPECT_EQ(shipped_object_problems(object, armhf_rules()),
              (std::vector<std::string>{"also exports weak_one", "also exports unique_one"}));
}

#if defined(__arm__)
// Built for armhf: the real object's float-ABI flag is what the check reads.
TEST(ShippedObject, TheRealObjectWithoutItsHardFloatFlagIsRefused) {
    Bytes bytes = shipped();
    const uint32_t flags = read_or_fail(bytes).flags;
    ASSERT_TRUE(flags & EF_ARM_ABI_FLOAT_HARD);
    poke(bytes, offsetof(Elf32_Ehdr, e_flags), (flags & ~uint32_t{EF_ARM_ABI_FLOAT_HARD}) | EF_ARM_ABI_FLOAT_SOFT);
    EXPECT_EQ(problems_of(bytes), std::vector<std::string>{"not the hard-float calling convention"});
}
#endif
