// The shape of both built DLLs, read as PE files: what a host's loader and linker see.
#include "interface/version.h"
#include "tests/native/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace {

const std::vector<std::string> kPlainFunctions = {
    "openport", "OpenUSB", "FindFirstUSB", "FindNextUSB", "closeport",
    "setbaudrate", "sendbuf", "sendcommand", "RcvBuf", "GetDllVersion",
    "norvat_open", "norvat_close", "norvat_write", "norvat_read", "norvat_set_baud_rate",
    "norvat_cancel", "norvat_list_ports", "norvat_port_list_get", "norvat_free_port_list",
    "norvat_error_text", "norvat_status", "norvat_pending", "norvat_discard_input",
    "norvat_escpos_status"};
const std::vector<std::string> kOtherCode = {"_ZN7CNorvatC1Ev", "_ZN7CNorvatC2Ev",
                                             "_ZN7CNorvataSERKS_", "_Z8fnNorvatv"};
const std::string kDataExport = "nNorvat";

struct Target {
    const char *name, *path;
    uint16_t machine; // IMAGE_FILE_MACHINE_I386 / _AMD64
};
void PrintTo(const Target &target, std::ostream *os) { *os << target.name; }
const Target kX86{"x86", NORVAT_DLL_X86, 0x014C};
const Target kX64{"x64", NORVAT_DLL_X64, 0x8664};

std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

// A missing or malformed DLL fails the test with the reader's message.
::testing::AssertionResult Load(const Target &target, std::unique_ptr<PeImage> *image)
{
    try {
        *image = std::make_unique<PeImage>(target.path);
        return ::testing::AssertionSuccess();
    } catch (const PeError &e) {
        return ::testing::AssertionFailure() << target.name << " DLL: " << e.what()
                                             << " (build both first: source scripts/lib.sh && "
                                                "norvat_build x86 && norvat_build x64)";
    }
}

class DllShape : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Load(GetParam(), &image));
    }
    std::unique_ptr<PeImage> image;
};

TEST_P(DllShape, IsADllForItsMachineWithDynamicBaseAndNx)
{
    EXPECT_EQ(image->Machine(), GetParam().machine);
    EXPECT_TRUE(image->Characteristics() & 0x2000) << "IMAGE_FILE_DLL not set";
    EXPECT_TRUE(image->DllCharacteristics() & 0x0040) << "DYNAMIC_BASE not set";
    EXPECT_TRUE(image->DllCharacteristics() & 0x0100) << "NX_COMPAT not set";
}

TEST_P(DllShape, ImportsKernel32AndAdvapi32Only)
{
    std::vector<std::string> dlls = image->ImportedDlls();
    for (std::string &dll : dlls)
        std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
    EXPECT_EQ(Sorted(dlls), Sorted({"kernel32.dll", "advapi32.dll"}));
}

TEST_P(DllShape, ExportsTheInterfaceCodeInCodeAndDataInData)
{
    std::vector<std::string> expected = kPlainFunctions;
    expected.insert(expected.end(), kOtherCode.begin(), kOtherCode.end());
    expected.push_back(kDataExport);

    std::vector<std::string> names;
    for (const PeExport &e : image->Exports()) {
        names.push_back(e.name);
        const PeSection *section = image->SectionAt(e.rva);
        ASSERT_NE(section, nullptr) << e.name << " points outside every section";
        EXPECT_EQ(section->Executable(), e.name != kDataExport)
            << e.name << " lies in " << section->name;
    }
    EXPECT_EQ(Sorted(names), Sorted(expected));
}

TEST_P(DllShape, VersionResourceCarriesTheVersionFromVersionH)
{
    const VersionNode info = ParseVersionResource(image->Resource(16)); // RT_VERSION
    ASSERT_EQ(info.key, "VS_VERSION_INFO");
    // VS_FIXEDFILEINFO: signature, structure version, file version MS/LS, product version MS/LS.
    ASSERT_GE(info.value.size(), 52u);
    auto dword = [&](size_t i) {
        uint32_t v = 0;
        for (int b = 3; b >= 0; b--)
            v = v << 8 | info.value[4 * i + b];
        return v;
    };
    EXPECT_EQ(dword(0), 0xFEEF04BDu);
    const uint32_t ms = NORVAT_VERSION_MAJOR << 16 | NORVAT_VERSION_MINOR;
    EXPECT_EQ(dword(2), ms) << "FILEVERSION";
    EXPECT_EQ(dword(3), 0u) << "FILEVERSION";
    EXPECT_EQ(dword(4), ms) << "PRODUCTVERSION";
    EXPECT_EQ(dword(5), 0u) << "PRODUCTVERSION";

    std::map<std::string, std::string> strings;
    for (const VersionNode &block : info.children) {
        if (block.key != "StringFileInfo")
            continue;
        for (const VersionNode &table : block.children)
            for (const VersionNode &s : table.children)
                strings[s.key] = s.Text();
    }
    EXPECT_EQ(strings["ProductName"], "Norvat");
    EXPECT_NE(strings["FileDescription"], "");
    EXPECT_EQ(strings["FileVersion"], std::to_string(NORVAT_VERSION_MAJOR) + "." +
                                          std::to_string(NORVAT_VERSION_MINOR));
}

INSTANTIATE_TEST_SUITE_P(Dlls, DllShape, ::testing::Values(kX86, kX64),
                         [](const ::testing::TestParamInfo<Target> &p) { return p.param.name; });

// --- Calling convention of the 32-bit exports ------------------------------------------------

struct Instruction {
    uint64_t address;
    std::string mnemonic, operands;
};

// objdump's disassembly of [from, to) as "address:<TAB>mnemonic operands" lines.
std::vector<Instruction> Disassemble(const std::string &path, uint64_t from, uint64_t to)
{
    std::ostringstream command;
    command << NORVAT_OBJDUMP_X86 << " -d --no-show-raw-insn --start-address=0x" << std::hex
            << from << " --stop-address=0x" << to << " '" << path << "'";
    std::vector<Instruction> code;
    FILE *pipe = popen(command.str().c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command.str();
        return code;
    }
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string address, word;
        if (!std::getline(in, address, '\t') || address.empty() || address.back() != ':')
            continue;
        Instruction i{std::stoull(address, nullptr, 16), "", ""};
        // Prefixes such as repz/bnd do not change what the instruction does to the stack.
        while (in >> word && (word == "repz" || word == "rep" || word == "bnd"))
            ;
        i.mnemonic = word;
        std::getline(in >> std::ws, i.operands);
        code.push_back(i);
    }
    EXPECT_EQ(pclose(pipe), 0) << command.str();
    return code;
}

std::string Hex(uint64_t n)
{
    std::ostringstream s;
    s << "0x" << std::hex << n;
    return s.str();
}

// "jmp 62fc2d00 <...>", "jne ...": a jump to a fixed address (not "jmp *table(,%eax,4)").
bool IsDirectJump(const Instruction &i)
{
    return !i.mnemonic.empty() && i.mnemonic[0] == 'j' && !i.operands.empty() &&
           std::isxdigit(static_cast<unsigned char>(i.operands[0]));
}

struct Returns {
    int plain = 0;
    std::vector<std::string> popping; // "0x...: ret $0x4"
};

class X86Code {
public:
    explicit X86Code(const PeImage &image) : image_(image)
    {
        starts_ = image.CodeSymbols();
        for (const PeExport &e : image.Exports())
            starts_.push_back(e.rva);
        starts_.push_back(image.EntryPoint());
        std::sort(starts_.begin(), starts_.end());
    }
    bool KnowsFunctionEnds() const { return !image_.CodeSymbols().empty(); }

    // Walks the function at rva up to the next function start, and every function it
    // tail-jumps into (OpenUSB returns only through those), collecting their returns.
    void Walk(const std::string &path, uint32_t rva, std::set<uint32_t> &seen, Returns &out) const
    {
        const PeSection *section = image_.SectionAt(rva);
        if (!section || !section->Executable() || !seen.insert(rva).second)
            return;
        auto next = std::upper_bound(starts_.begin(), starts_.end(), rva);
        const uint32_t end =
            std::min<uint32_t>(next == starts_.end() ? ~0u : *next, section->rva + section->Span());
        const uint64_t base = image_.ImageBase();
        for (const Instruction &i : Disassemble(path, base + rva, base + end)) {
            if (i.mnemonic == "ret" || i.mnemonic == "retl") {
                if (i.operands.empty())
                    out.plain++;
                else
                    out.popping.push_back(Hex(i.address) + ": ret " + i.operands);
            } else if (IsDirectJump(i)) {
                const uint64_t target = std::stoull(i.operands, nullptr, 16);
                if (target < base + rva || target >= base + end)
                    Walk(path, uint32_t(target - base), seen, out);
            }
        }
    }

private:
    const PeImage &image_;
    std::vector<uint32_t> starts_;
};

// On 32-bit x86 a cdecl function leaves its arguments to the caller: a "ret $N" would pop
// them a second time in every host that declares the functions cdecl.
TEST(X86Exports, PlainFunctionsAreCdecl)
{
    std::unique_ptr<PeImage> image;
    ASSERT_TRUE(Load(kX86, &image));
    ASSERT_EQ(image->Machine(), kX86.machine) << "not an i386 image: cannot disassemble it";
    const X86Code code(*image);
    ASSERT_TRUE(code.KnowsFunctionEnds()) << "no COFF symbol table: function ends unknown";
    std::map<std::string, uint32_t> rva;
    for (const PeExport &e : image->Exports())
        rva[e.name] = e.rva;
    for (const std::string &name : kPlainFunctions) {
        SCOPED_TRACE(name);
        ASSERT_EQ(rva.count(name), 1u) << "not exported";
        std::set<uint32_t> seen;
        Returns returns;
        code.Walk(kX86.path, rva[name], seen, returns);
        EXPECT_GT(returns.plain, 0) << "no plain ret reached";
        for (const std::string &ret : returns.popping)
            ADD_FAILURE() << "pops its arguments: " << ret;
    }
}

} // namespace
