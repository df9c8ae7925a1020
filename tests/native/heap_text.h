// Exact-size heap copies for the sanitizer builds: a text takes its length plus the NUL and no
// more, a field exactly its size, so ASan reports a read past the NUL or a write past the field.
#pragma once

#include <cstring>
#include <memory>
#include <string>

class HeapText {
public:
    // Copies every byte of text (embedded NULs included) and appends the terminating NUL.
    explicit HeapText(const std::string &text) : HeapText(text.size() + 1)
    {
        std::memcpy(bytes_.get(), text.data(), text.size());
        bytes_[text.size()] = '\0';
    }
    // A field of size bytes filled with 0x55 and no NUL, so a missing terminator shows too.
    static HeapText Field(size_t size) { return HeapText(size); }

    char *get() { return bytes_.get(); }
    const char *get() const { return bytes_.get(); }
    size_t size() const { return size_; }
    std::string bytes() const { return std::string(bytes_.get(), size_); }

private:
    explicit HeapText(size_t size) : size_(size), bytes_(new char[size])
    {
        std::memset(bytes_.get(), 0x55, size);
    }

    size_t size_;
    std::unique_ptr<char[]> bytes_;
};
