#include "platform/version_info.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace clst::platform {
namespace {

// The version section stays small; anything larger is not ours.
constexpr uint64_t kMaxSectionSize = 64 * 1024;

class File {
  public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool ReadAt(uint64_t offset, void* out, size_t size) const {
        auto* p = static_cast<uint8_t*>(out);
        while (size > 0) {
            const ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            p += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

// A block is well formed when it starts with the magic and every key and
// value is NUL-terminated inside it, up to the empty key.
bool WellFormed(const std::vector<uint8_t>& block) {
    const size_t magic = sizeof(kVersionMagic);
    if (block.size() < magic + 1 || std::memcmp(block.data(), kVersionMagic, magic) != 0) {
        return false;
    }
    size_t pos = magic;
    for (;;) {
        const void* end = std::memchr(block.data() + pos, '\0', block.size() - pos);
        if (end == nullptr)
            return false;
        const size_t keyLength = static_cast<const uint8_t*>(end) - (block.data() + pos);
        pos += keyLength + 1;
        if (keyLength == 0)
            return true;
        if (pos >= block.size())
            return false;
        const void* valueEnd = std::memchr(block.data() + pos, '\0', block.size() - pos);
        if (valueEnd == nullptr)
            return false;
        pos = static_cast<const uint8_t*>(valueEnd) - block.data() + 1;
        if (pos >= block.size())
            return false;
    }
}

// Finds the version section; fills its file offset and size.
bool FindSection(const File& file, uint64_t& offset, uint64_t& size) {
    Elf64_Ehdr header;
    if (!file.ReadAt(0, &header, sizeof(header)))
        return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    Elf64_Shdr names;
    if (!file.ReadAt(header.e_shoff + uint64_t{header.e_shstrndx} * sizeof(Elf64_Shdr), &names,
                     sizeof(names))) {
        return false;
    }
    const size_t wanted = std::strlen(kVersionSectionName) + 1;
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (!file.ReadAt(header.e_shoff + uint64_t{i} * sizeof(Elf64_Shdr), &section,
                         sizeof(section))) {
            return false;
        }
        if (section.sh_name + wanted > names.sh_size || section.sh_type == SHT_NOBITS)
            continue;
        char name[32] = {};
        if (!file.ReadAt(names.sh_offset + section.sh_name, name, wanted))
            continue;
        if (std::memcmp(name, kVersionSectionName, wanted) == 0) {
            offset = section.sh_offset;
            size = section.sh_size;
            return size > 0 && size <= kMaxSectionSize;
        }
    }
    return false;
}

bool ReadBlock(const std::string& path, std::vector<uint8_t>& block) {
    File file(path);
    uint64_t offset = 0;
    uint64_t size = 0;
    if (!file.ok() || !FindSection(file, offset, size))
        return false;
    block.assign(size, 0);
    if (!file.ReadAt(offset, block.data(), block.size()))
        return false;
    // The linker may pad the section; the table ends at its empty key.
    return WellFormed(block);
}

}  // namespace

uint32_t GetFileVersionInfoSize(const std::string& path) {
    std::vector<uint8_t> block;
    return ReadBlock(path, block) ? static_cast<uint32_t>(block.size()) : 0;
}

bool GetFileVersionInfo(const std::string& path, uint32_t size, std::vector<uint8_t>& block) {
    std::vector<uint8_t> all;
    if (size == 0 || !ReadBlock(path, all))
        return false;
    if (all.size() > size)
        all.resize(size);
    if (!WellFormed(all))
        return false;
    block = std::move(all);
    return true;
}

bool VerQueryValue(const std::vector<uint8_t>& block, const std::string& subBlock,
                   std::string& value) {
    if (!WellFormed(block) || subBlock.empty())
        return false;
    size_t pos = sizeof(kVersionMagic);
    for (;;) {
        const char* key = reinterpret_cast<const char*>(block.data() + pos);
        const size_t keyLength = std::strlen(key);
        if (keyLength == 0)
            return false;
        const char* text = key + keyLength + 1;
        if (subBlock == key) {
            value = text;
            return true;
        }
        pos = (text - reinterpret_cast<const char*>(block.data())) + std::strlen(text) + 1;
    }
}

}  // namespace clst::platform
