// Compares the decoder's instruction lengths with GNU objdump's over real code: the code sections of
// the Windows DLLs that Wine installs. Every instruction the decoder accepts must have objdump's
// length; what it does not accept counts as unknown (the engines refuse such code).
#include "hook_engines/x64_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

struct ObjdumpInstruction {
    std::size_t offset;   // in the section's byte stream
    std::size_t length;
    std::string text;
};

struct Section {
    std::vector<std::uint8_t> bytes;
    std::vector<ObjdumpInstruction> instructions;
    unsigned long long nextAddress = 0;
};

struct Totals {
    std::size_t compared = 0;      // instructions objdump knows
    std::size_t agreeing = 0;
    std::size_t unknown = 0;       // decoder refused
    std::size_t objdumpBad = 0;    // objdump refused, not compared
    std::size_t dlls = 0;
    std::vector<std::string> mismatches;
};

// Lines of the form "    7b001004:\t48 8d 0d f5 6f 08 00   \tlea    0x86ff5(%rip),%rcx".
bool parseLine(const char* line, unsigned long long& address, std::vector<std::uint8_t>& bytes, std::string& text)
{
    char* end = nullptr;
    address = std::strtoull(line, &end, 16);
    if (end == line || *end != ':' || end[1] != '\t')
        return false;
    const char* p = end + 2;
    bytes.clear();
    while (*p != '\0' && *p != '\t' && *p != '\n') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        char digits[3] = {p[0], p[1], 0};
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits, nullptr, 16)));
        p += 2;
    }
    text = *p == '\t' ? std::string(p + 1) : std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return !bytes.empty();
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", bytes[i]);
        out += buf;
    }
    return out;
}

void compareSection(const std::string& dll, const Section& section, Totals& totals)
{
    using Overlay::HookEngines::Instruction;
    for (const ObjdumpInstruction& ref : section.instructions) {
        // objdump stops at symbol boundaries and shows the bytes left before one as data.
        if (ref.text.find("(bad)") != std::string::npos || ref.text.compare(0, 1, ".") == 0) {
            ++totals.objdumpBad;
            continue;
        }
        ++totals.compared;
        Instruction insn;
        const std::uint8_t* code = section.bytes.data() + ref.offset;
        if (!Overlay::HookEngines::decodeInstruction(code, section.bytes.size() - ref.offset, insn)) {
            ++totals.unknown;
            continue;
        }
        if (insn.length == ref.length) {
            ++totals.agreeing;
        } else if (totals.mismatches.size() < 40) {
            totals.mismatches.push_back(dll + ": " + hexBytes(code, std::min<std::size_t>(ref.length + 4, section.bytes.size() - ref.offset)) +
                                        " objdump " + std::to_string(ref.length) + " '" + ref.text + "', decoder " +
                                        std::to_string(insn.length));
        }
    }
}

// Disassembles one DLL, taking at most `limit` instructions from it.
void compareDll(const std::string& path, const std::string& dll, std::size_t limit, Totals& totals)
{
    const std::string command = std::string(OBJDUMP_PATH) + " -d -z -w --insn-width=15 '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<char> line(1 << 16);
    Section section;
    std::vector<std::uint8_t> bytes;
    std::string text;
    std::size_t taken = 0;
    while (taken < limit && std::fgets(line.data(), static_cast<int>(line.size()), pipe) != nullptr) {
        if (std::strncmp(line.data(), "Disassembly of section", 22) == 0) {
            compareSection(dll, section, totals);
            section = Section();
            continue;
        }
        unsigned long long address = 0;
        if (!parseLine(line.data(), address, bytes, text))
            continue;
        if (!section.bytes.empty() && address != section.nextAddress) {
            compareSection(dll, section, totals);
            section = Section();
        }
        section.instructions.push_back({section.bytes.size(), bytes.size(), text});
        section.bytes.insert(section.bytes.end(), bytes.begin(), bytes.end());
        section.nextAddress = address + bytes.size();
        ++taken;
    }
    pclose(pipe);
    compareSection(dll, section, totals);
    ++totals.dlls;
}

std::vector<std::string> listDlls(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(DecoderDifferential, AgreesWithObjdumpOnWineDlls)
{
    const std::vector<std::string> dlls = listDlls(WINE_PE_DIR);
    if (dlls.empty() || std::string(OBJDUMP_PATH).empty() || std::string(OBJDUMP_PATH).find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "no PE DLLs in " << WINE_PE_DIR << " or no objdump";

    // A share of every DLL rather than all of a few, so that many compilers' habits are seen.
    // OVERLAY_DECODER_PER_DLL raises the share for a deeper run by hand.
    std::size_t perDll = 12000;
    if (const char* env = std::getenv("OVERLAY_DECODER_PER_DLL"))
        perDll = std::strtoull(env, nullptr, 10);
    Totals totals;
    for (const std::string& dll : dlls)
        compareDll(std::string(WINE_PE_DIR) + "/" + dll, dll, perDll, totals);

    const std::size_t accepted = totals.compared - totals.unknown;
    std::printf("decoder vs objdump: %zu DLLs, %zu instructions compared, %zu accepted, %zu agree (%.4f%% of accepted), "
                "%zu unknown (%.4f%%), %zu left out (objdump shows them as bad or data)\n",
                totals.dlls, totals.compared, accepted, totals.agreeing,
                accepted ? 100.0 * static_cast<double>(totals.agreeing) / static_cast<double>(accepted) : 0.0,
                totals.unknown,
                totals.compared ? 100.0 * static_cast<double>(totals.unknown) / static_cast<double>(totals.compared) : 0.0,
                totals.objdumpBad);
    for (const std::string& m : totals.mismatches)
        std::printf("  mismatch: %s\n", m.c_str());

    EXPECT_GE(totals.compared, 1000000u);
    EXPECT_EQ(totals.agreeing, accepted);
    // Unknown code makes the engines refuse a hook; it must stay rare in ordinary code.
    EXPECT_LT(totals.unknown * 1000, totals.compared);
}
