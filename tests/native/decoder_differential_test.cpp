// Compares the decoder's instruction lengths with GNU objdump's over real code: the code sections of
// the 64-bit Windows DLLs that Wine installs, and of the 32-bit DLLs that the i686 MinGW packages
// ship. Every instruction the decoder accepts must have objdump's length; what it does not accept
// counts as unknown (the engines refuse such code).
#include "hook_engines/x64_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Overlay::HookEngines::CpuMode;

struct Totals
{
    std::size_t compared = 0;  // instructions objdump knows
    std::size_t agreeing = 0;
    std::size_t unknown = 0;     // decoder refused
    std::size_t objdumpBad = 0;  // objdump refused, not compared
    std::size_t dlls = 0;
    std::vector<std::string> mismatches;
};

// A run of contiguous code as objdump listed it.
struct Run
{
    struct Listed
    {
        std::size_t offset, length;
        std::string text;
    };
    std::vector<std::uint8_t> bytes;
    std::vector<Listed> listed;
    unsigned long long end = 0;  // address after the last instruction

    void compare(const std::string& dll, CpuMode mode, Totals& totals) const
    {
        for (const Listed& ref : listed) {
            // objdump stops at symbol boundaries and shows the bytes left before one as data, or as
            // a lone prefix (tables of pointers in .ctors).
            const std::uint8_t first = bytes[ref.offset];
            const bool lonePrefix = ref.length == 1 &&
                                    std::strchr("\x26\x2e\x36\x3e\x64\x65\x66\x67\xf0\xf2\xf3", first) != nullptr &&
                                    first != 0;
            if (ref.text.find("(bad)") != std::string::npos || ref.text.compare(0, 1, ".") == 0 || lonePrefix) {
                ++totals.objdumpBad;
                continue;
            }
            ++totals.compared;
            Overlay::HookEngines::Instruction insn;
            const std::uint8_t* code = bytes.data() + ref.offset;
            if (!Overlay::HookEngines::decodeInstruction(code, bytes.size() - ref.offset, insn, mode)) {
                ++totals.unknown;
            } else if (insn.length == ref.length) {
                ++totals.agreeing;
            } else if (totals.mismatches.size() < 40) {
                std::string shown = dll + ":";
                for (std::size_t i = 0; i < std::min(ref.length + 4, bytes.size() - ref.offset); ++i) {
                    char digits[4];
                    std::snprintf(digits, sizeof digits, " %02x", code[i]);
                    shown += digits;
                }
                totals.mismatches.push_back(shown + " objdump " + std::to_string(ref.length) + " '" + ref.text +
                                            "', decoder " + std::to_string(insn.length));
            }
        }
    }
};

// Disassembles one DLL, taking at most `limit` instructions from it. Lines look like
// "    7b001004:\t48 8d 0d f5 6f 08 00   \tlea    0x86ff5(%rip),%rcx".
void compareDll(const std::string& objdump, CpuMode mode, const std::string& folder, const std::string& dll,
                std::size_t limit, Totals& totals)
{
    const std::string command = objdump + " -d -z -w --insn-width=15 '" + folder + "/" + dll + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<char> line(1 << 16);
    Run run;
    for (std::size_t taken = 0; taken < limit && std::fgets(line.data(), int(line.size()), pipe) != nullptr;) {
        char* p = nullptr;
        const unsigned long long address = std::strtoull(line.data(), &p, 16);
        if (p == line.data() || p[0] != ':' || p[1] != '\t') {
            if (std::strncmp(line.data(), "Disassembly of section", 22) == 0) {
                run.compare(dll, mode, totals);
                run = Run();
            }
            continue;
        }
        if (!run.bytes.empty() && address != run.end) {
            run.compare(dll, mode, totals);
            run = Run();
        }
        const std::size_t offset = run.bytes.size();
        for (p += 2; *p != '\0' && *p != '\t' && *p != '\n'; ++p) {
            if (*p != ' ') {
                const char digits[3] = {p[0], p[1], 0};
                run.bytes.push_back(std::uint8_t(std::strtoul(digits, nullptr, 16)));
                ++p;
            }
        }
        std::string text = *p == '\t' ? std::string(p + 1) : std::string();
        text.erase(text.find_last_not_of("\n ") + 1);
        run.listed.push_back({offset, run.bytes.size() - offset, text});
        run.end = address + (run.bytes.size() - offset);
        ++taken;
    }
    pclose(pipe);
    run.compare(dll, mode, totals);
    ++totals.dlls;
}

bool found(const std::string& program)
{
    return !program.empty() && program.find("NOTFOUND") == std::string::npos;
}

// OVERLAY_DECODER_PER_DLL raises the share of each DLL for a deeper run by hand.
std::size_t perDll(std::size_t share)
{
    if (const char* env = std::getenv("OVERLAY_DECODER_PER_DLL"))
        return std::strtoull(env, nullptr, 10);
    return share;
}

void report(const Totals& totals)
{
    const std::size_t accepted = totals.compared - totals.unknown;
    std::printf(
        "decoder vs objdump: %zu DLLs, %zu instructions compared, %zu accepted, %zu agree (%.4f%% of accepted), "
        "%zu unknown (%.4f%%), %zu left out (objdump shows them as bad or data)\n",
        totals.dlls, totals.compared, accepted, totals.agreeing,
        accepted ? 100.0 * double(totals.agreeing) / double(accepted) : 0.0, totals.unknown,
        totals.compared ? 100.0 * double(totals.unknown) / double(totals.compared) : 0.0, totals.objdumpBad);
    for (const std::string& m : totals.mismatches)
        std::printf("  mismatch: %s\n", m.c_str());
    EXPECT_EQ(totals.agreeing, accepted);
    // Unknown code makes the engines refuse a hook; it must stay rare in ordinary code.
    EXPECT_LT(totals.unknown * 1000, totals.compared);
}

}  // namespace

TEST(DecoderDifferential, AgreesWithObjdumpOnWineDlls)
{
    std::vector<std::string> dlls;
    if (DIR* dir = opendir(WINE_PE_DIR)) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
                dlls.push_back(name);
        }
        closedir(dir);
    }
    std::sort(dlls.begin(), dlls.end());
    if (dlls.empty() || !found(OBJDUMP_PATH))
        GTEST_SKIP() << "no PE DLLs in " << WINE_PE_DIR << " or no objdump";

    // A share of every DLL rather than all of a few, so that many compilers' habits are seen.
    Totals totals;
    for (const std::string& dll : dlls)
        compareDll(OBJDUMP_PATH, CpuMode::Bits64, WINE_PE_DIR, dll, perDll(12000), totals);
    report(totals);
    EXPECT_GE(totals.compared, 1000000u);
}

// The i686 packages ship few DLLs, all built by GCC: most of each is taken.
TEST(DecoderDifferential, AgreesWithObjdumpOn32BitDlls)
{
    std::vector<std::filesystem::path> dlls;
    std::error_code error;
    for (const char* folder : {I686_PE_DIRS}) {
        for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().extension() == ".dll" && it->is_regular_file(error))
                dlls.push_back(it->path());
        }
        error.clear();
    }
    std::sort(dlls.begin(), dlls.end());
    if (dlls.empty() || !found(I686_OBJDUMP_PATH))
        GTEST_SKIP() << "no 32-bit PE DLLs under " << I686_PE_DIRS_TEXT
                     << " or no i686-w64-mingw32-objdump: install binutils-mingw-w64-i686 and "
                        "g++-mingw-w64-i686-posix to run this comparison";

    Totals totals;
    for (const std::filesystem::path& dll : dlls)
        compareDll(I686_OBJDUMP_PATH, CpuMode::Bits32, dll.parent_path().string(), dll.filename().string(),
                   perDll(300000), totals);
    report(totals);
    EXPECT_GE(totals.compared, 20000u);
}
