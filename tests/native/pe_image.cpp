// Layouts follow the PE/COFF headers as the MinGW headers declare them (winnt.h, winver.h);
// every field is read little-endian at its byte offset.
#include "tests/native/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

std::string Hex(uint32_t n)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", unsigned(n));
    return text;
}

size_t Align4(size_t n) { return (n + 3) & ~size_t(3); }

uint16_t Le16(const std::vector<uint8_t> &bytes, size_t at)
{
    if (at > bytes.size() || bytes.size() - at < 2)
        throw PeError("read past the end at offset " + std::to_string(at));
    return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

// UTF-16 key at `at`, ending at its NUL (which must lie before end); ASCII kept, else '?'.
std::string Utf16Key(const std::vector<uint8_t> &bytes, size_t at, size_t end, size_t *after)
{
    std::string text;
    for (;; at += 2) {
        if (at + 2 > end)
            throw PeError("unterminated UTF-16 text");
        const uint16_t c = Le16(bytes, at);
        if (c == 0)
            break;
        text += c < 0x80 ? char(c) : '?';
    }
    *after = at + 2;
    return text;
}

// One node: wLength, wValueLength, wType (1 = text, value length in characters), the key,
// padding to 32 bits, the value, padding, then the children up to wLength.
VersionNode ParseVersionNode(const std::vector<uint8_t> &data, size_t at, size_t limit)
{
    const size_t length = Le16(data, at), valueLength = Le16(data, at + 2);
    const bool text = Le16(data, at + 4) == 1;
    if (length < 6 || at + length > limit)
        throw PeError("version node of bad length at offset " + std::to_string(at));
    const size_t end = at + length;
    VersionNode node;
    size_t p = 0;
    node.key = Utf16Key(data, at + 6, end, &p);
    p = Align4(p);
    const size_t valueEnd = std::min(end, p + (text ? valueLength * 2 : valueLength));
    if (p < valueEnd)
        node.value.assign(data.begin() + p, data.begin() + valueEnd);
    for (p = Align4(std::max(p, valueEnd)); p + 6 <= end; p = Align4(p + Le16(data, p)))
        node.children.push_back(ParseVersionNode(data, p, end));
    return node;
}

} // namespace

PeImage::PeImage(const std::string &path) : path_(path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw PeError("cannot open " + path);
    file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (U16(0) != 0x5A4D)
        throw PeError(path + ": no MZ header");
    const size_t pe = U32(0x3C);
    if (U32(pe) != 0x00004550)
        throw PeError(path + ": no PE signature");
    machine_ = U16(pe + 4);
    const size_t sectionCount = U16(pe + 6);
    symbols_ = U32(pe + 12);
    symbolCount_ = U32(pe + 16);
    const size_t optional = pe + 24, optionalSize = U16(pe + 20);
    characteristics_ = U16(pe + 22);

    const uint16_t magic = U16(optional);
    if (magic != 0x10B && magic != 0x20B)
        throw PeError(path + ": unknown optional header magic");
    const bool pe32plus = magic == 0x20B;
    entryPoint_ = U32(optional + 16);
    imageBase_ = pe32plus ? U64(optional + 24) : U32(optional + 28);
    sizeOfHeaders_ = U32(optional + 60);
    dllCharacteristics_ = U16(optional + 70);
    const size_t dirCount = U32(optional + (pe32plus ? 108 : 92));
    const size_t dirs = optional + (pe32plus ? 112 : 96);
    for (size_t i = 0; i < dirCount && i < 16; i++) {
        directoryRva_.push_back(U32(dirs + 8 * i));
        directorySize_.push_back(U32(dirs + 8 * i + 4));
    }

    for (size_t i = 0, at = optional + optionalSize; i < sectionCount; i++, at += 40) {
        U32(at + 36); // the whole entry must be in the file
        PeSection s;
        s.name.assign(reinterpret_cast<const char *>(&file_[at]), 8);
        s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
        s.virtualSize = U32(at + 8);
        s.rva = U32(at + 12);
        s.rawSize = U32(at + 16);
        s.rawOffset = U32(at + 20);
        s.characteristics = U32(at + 36);
        sections_.push_back(s);
    }
}

uint16_t PeImage::U16(size_t offset) const { return Le16(file_, offset); }

uint32_t PeImage::U32(size_t offset) const
{
    return U16(offset) | uint32_t(U16(offset + 2)) << 16;
}

uint64_t PeImage::U64(size_t offset) const
{
    return U32(offset) | uint64_t(U32(offset + 4)) << 32;
}

const PeSection *PeImage::SectionAt(uint32_t rva) const
{
    for (const PeSection &s : sections_) {
        if (rva >= s.rva && rva - s.rva < s.Span())
            return &s;
    }
    return nullptr;
}

size_t PeImage::Offset(uint32_t rva) const
{
    if (rva < sizeOfHeaders_ && rva < file_.size())
        return rva;
    const PeSection *s = SectionAt(rva);
    if (!s || rva - s->rva >= s->rawSize || size_t(s->rawOffset) + (rva - s->rva) >= file_.size())
        throw PeError(path_ + ": RVA " + Hex(rva) + " is not in the file");
    return s->rawOffset + (rva - s->rva);
}

std::string PeImage::String(uint32_t rva) const
{
    std::string text;
    for (size_t at = Offset(rva);; at++) {
        if (at >= file_.size())
            throw PeError(path_ + ": unterminated name");
        if (file_[at] == 0)
            return text;
        text += char(file_[at]);
    }
}

std::vector<std::string> PeImage::ImportedDlls() const
{
    std::vector<std::string> dlls;
    if (directoryRva_.size() <= kImport || directoryRva_[kImport] == 0)
        return dlls;
    // IMAGE_IMPORT_DESCRIPTOR: 20 bytes, Name at +12; an all-zero entry ends the table.
    for (uint32_t rva = directoryRva_[kImport];; rva += 20) {
        const size_t at = Offset(rva);
        if (U32(at) == 0 && U32(at + 12) == 0 && U32(at + 16) == 0)
            return dlls;
        dlls.push_back(String(U32(at + 12)));
    }
}

std::vector<PeExport> PeImage::Exports() const
{
    std::vector<PeExport> exports;
    if (directoryRva_.size() <= kExport || directoryRva_[kExport] == 0)
        return exports;
    // IMAGE_EXPORT_DIRECTORY: function, name and name-ordinal counts and tables.
    const size_t dir = Offset(directoryRva_[kExport]);
    const uint32_t functionCount = U32(dir + 20), nameCount = U32(dir + 24);
    const uint32_t functions = U32(dir + 28), names = U32(dir + 32), ordinals = U32(dir + 36);
    for (uint32_t i = 0; i < nameCount; i++) {
        const uint16_t index = U16(Offset(ordinals + 2 * i));
        if (index >= functionCount)
            throw PeError(path_ + ": export ordinal out of range");
        exports.push_back({String(U32(Offset(names + 4 * i))), U32(Offset(functions + 4 * index))});
    }
    return exports;
}

std::vector<uint32_t> PeImage::CodeSymbols() const
{
    // 18-byte records: name, value (offset in its section), section number (1-based), type,
    // storage class, count of auxiliary records that follow.
    std::vector<uint32_t> rvas;
    for (size_t i = 0; symbols_ != 0 && i < symbolCount_; i++) {
        const size_t at = symbols_ + 18 * i;
        const int section = int16_t(U16(at + 12));
        if (section >= 1 && size_t(section) <= sections_.size() &&
            sections_[section - 1].Executable())
            rvas.push_back(sections_[section - 1].rva + U32(at + 8));
        i += U16(at + 16) >> 8;
    }
    return rvas;
}

std::vector<uint8_t> PeImage::Resource(uint32_t type) const
{
    if (directoryRva_.size() <= kResource || directoryRva_[kResource] == 0)
        throw PeError(path_ + ": no resource directory");
    const uint32_t base = directoryRva_[kResource];
    // A directory: 16-byte header with named and id entry counts, then 8-byte entries
    // (name or id; offset from base, high bit set for a subdirectory).
    uint32_t dir = base;
    for (int level = 0; level < 3; level++) {
        const size_t at = Offset(dir);
        const size_t count = size_t(U16(at + 12)) + U16(at + 14);
        uint32_t next = 0;
        bool found = false;
        for (size_t i = 0; i < count && !found; i++) {
            const uint32_t id = U32(at + 16 + 8 * i), target = U32(at + 20 + 8 * i);
            found = level > 0 || id == type;
            next = target;
        }
        if (!found)
            throw PeError(path_ + ": no resource of type " + std::to_string(type));
        const bool subdirectory = next & 0x80000000u;
        if (subdirectory != (level < 2))
            throw PeError(path_ + ": resource tree not three levels deep");
        dir = base + (next & 0x7FFFFFFFu);
    }
    // IMAGE_RESOURCE_DATA_ENTRY: the data's RVA and size.
    const size_t entry = Offset(dir);
    const uint32_t dataRva = U32(entry), size = U32(entry + 4);
    const size_t at = Offset(dataRva);
    if (size > file_.size() - at)
        throw PeError(path_ + ": resource data past the end of the file");
    return std::vector<uint8_t>(file_.begin() + at, file_.begin() + at + size);
}

std::string VersionNode::Text() const
{
    std::string text;
    for (size_t at = 0; at + 2 <= value.size() && Le16(value, at) != 0; at += 2)
        text += Le16(value, at) < 0x80 ? char(Le16(value, at)) : '?';
    return text;
}

VersionNode ParseVersionResource(const std::vector<uint8_t> &data)
{
    return ParseVersionNode(data, 0, data.size());
}
