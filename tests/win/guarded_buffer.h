// A host buffer whose last byte sits right before an inaccessible page: one byte written past
// it raises an access violation, which fails the test instead of passing silently.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        const size_t span = ((size + page_ - 1) / page_) * page_;
        base_ = static_cast<char *>(
            VirtualAlloc(nullptr, span + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + span, page_, PAGE_NOACCESS, &old);
        data_ = base_ + span - size;
        FillMemory(data_, size, 0x55);
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    char *data() { return data_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    size_t page_ = 0;
    char *base_ = nullptr;
    char *data_ = nullptr;
};
