// A small reader for PE files (32- and 64-bit), enough to check a built DLL's shape without
// Windows: headers, sections, imports, exports, COFF symbols and resources. Offsets
// come from the file, so every read is bounds-checked; a malformed file throws PeError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct PeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PeSection {
    std::string name;
    uint32_t rva, virtualSize, rawOffset, rawSize, characteristics;
    bool Executable() const { return characteristics & 0x20000000; } // IMAGE_SCN_MEM_EXECUTE
    uint32_t Span() const { return virtualSize ? virtualSize : rawSize; }
};

struct PeExport {
    std::string name;
    uint32_t rva;
};

class PeImage {
public:
    // Reads and checks the headers; throws PeError naming path when it cannot.
    explicit PeImage(const std::string &path);

    uint16_t Machine() const { return machine_; }
    uint16_t Characteristics() const { return characteristics_; }
    uint16_t DllCharacteristics() const { return dllCharacteristics_; }
    uint64_t ImageBase() const { return imageBase_; }
    uint32_t EntryPoint() const { return entryPoint_; }
    const std::vector<PeSection> &Sections() const { return sections_; }

    // The section whose image range holds rva, or nullptr.
    const PeSection *SectionAt(uint32_t rva) const;
    // Names of the DLLs in the import directory, in order.
    std::vector<std::string> ImportedDlls() const;
    // Named exports with their RVAs.
    std::vector<PeExport> Exports() const;
    // RVAs of the COFF symbols in executable sections: functions and the data the linker
    // puts among them (empty when the symbol table was stripped).
    std::vector<uint32_t> CodeSymbols() const;
    // The data of the first resource of the given numeric type (any name, any language).
    std::vector<uint8_t> Resource(uint32_t type) const;

private:
    enum Directory { kExport = 0, kImport = 1, kResource = 2 };

    uint32_t U32(size_t offset) const;
    uint16_t U16(size_t offset) const;
    uint64_t U64(size_t offset) const;
    size_t Offset(uint32_t rva) const;  // file offset of rva, which must be in the file
    std::string String(uint32_t rva) const;

    std::string path_;
    std::vector<uint8_t> file_;
    uint16_t machine_ = 0, characteristics_ = 0, dllCharacteristics_ = 0;
    uint64_t imageBase_ = 0;
    uint32_t entryPoint_ = 0, sizeOfHeaders_ = 0, symbols_ = 0, symbolCount_ = 0;
    std::vector<PeSection> sections_;
    std::vector<uint32_t> directoryRva_, directorySize_;
};

// A node of a version resource (VS_VERSIONINFO, StringFileInfo, a StringTable, a String...):
// its key, its value bytes and its children.
struct VersionNode {
    std::string key;
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
    std::string Text() const; // value read as a NUL-terminated UTF-16 text (ASCII kept)
};
VersionNode ParseVersionResource(const std::vector<uint8_t> &data);
