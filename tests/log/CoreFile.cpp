#include "CoreFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

uint64_t align4(uint64_t value) { return (value + 3) & ~uint64_t{3}; }

bool fail(std::string& error, const std::string& reason) {
    error = reason;
    return false;
}

bool fits(uint64_t offset, uint64_t length, size_t size) { return offset <= size && length <= size - offset; }

}  // namespace

CoreFile::~CoreFile() {
    if (fData != nullptr) munmap(fData, fSize);
}

bool CoreFile::open(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(error, "cannot open " + path);
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
        ::close(fd);
        return fail(error, "file too short");
    }
    fSize = static_cast<size_t>(info.st_size);
    void* data = mmap(nullptr, fSize, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (data == MAP_FAILED) return fail(error, "mmap failed");
    fData = static_cast<unsigned char*>(data);

    const Elf64_Ehdr& h = header();
    if (memcmp(h.e_ident, ELFMAG, SELFMAG) != 0) return fail(error, "no ELF magic");
    if (h.e_ident[EI_CLASS] != ELFCLASS64 || h.e_type != ET_CORE) return fail(error, "not an ELF64 core");
    if (h.e_phentsize != sizeof(Elf64_Phdr)) return fail(error, "bad program header size");
    return readSegments(error);
}

bool CoreFile::readSegments(std::string& error) {
    const Elf64_Ehdr& h = header();
    if (!fits(h.e_phoff, uint64_t{h.e_phnum} * sizeof(Elf64_Phdr), fSize)) return fail(error, "headers beyond end");
    for (unsigned i = 0; i < h.e_phnum; ++i) {
        Elf64_Phdr segment;
        memcpy(&segment, fData + h.e_phoff + i * sizeof segment, sizeof segment);
        if (!fits(segment.p_offset, segment.p_filesz, fSize)) return fail(error, "segment beyond end");
        fSegments.push_back(segment);
        if (segment.p_type == PT_NOTE && !readNotes(segment, error)) return false;
    }
    return true;
}

bool CoreFile::readNotes(const Elf64_Phdr& segment, std::string& error) {
    uint64_t at = segment.p_offset;
    const uint64_t end = segment.p_offset + segment.p_filesz;
    while (at < end) {
        Elf64_Nhdr n;
        if (end - at < sizeof n) return fail(error, "truncated note header");
        memcpy(&n, fData + at, sizeof n);
        uint64_t nameAt = at + sizeof n;
        uint64_t descAt = nameAt + align4(n.n_namesz);
        uint64_t next = descAt + align4(n.n_descsz);
        if (next > end || n.n_namesz == 0) return fail(error, "note beyond its segment");
        std::string name(reinterpret_cast<const char*>(fData + nameAt), n.n_namesz - 1);
        fNotes.push_back(Note{n.n_type, name, fData + descAt, n.n_descsz});
        at = next;
    }
    return true;
}

uint64_t CoreFile::contentEnd() const {
    uint64_t end = sizeof(Elf64_Ehdr) + fSegments.size() * sizeof(Elf64_Phdr);
    for (const Elf64_Phdr& s : fSegments)
        if (s.p_offset + s.p_filesz > end) end = s.p_offset + s.p_filesz;
    return end;
}

const CoreFile::Note* CoreFile::findNote(uint32_t type) const {
    for (const Note& note : fNotes)
        if (note.type == type) return &note;
    return nullptr;
}

const Elf64_Phdr* CoreFile::loadCovering(uint64_t address) const {
    for (const Elf64_Phdr& s : fSegments)
        if (s.p_type == PT_LOAD && address >= s.p_vaddr && address - s.p_vaddr < s.p_memsz) return &s;
    return nullptr;
}

std::vector<unsigned char> CoreFile::memory(uint64_t address, size_t length) const {
    std::vector<unsigned char> bytes;
    bytes.reserve(length);
    while (bytes.size() < length) {
        const uint64_t at = address + bytes.size();
        const Elf64_Phdr* s = loadCovering(at);
        if (s == nullptr || at - s->p_vaddr >= s->p_filesz) return {};
        const uint64_t available = s->p_filesz - (at - s->p_vaddr);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(available, length - bytes.size()));
        const unsigned char* from = fData + s->p_offset + (at - s->p_vaddr);
        bytes.insert(bytes.end(), from, from + n);
    }
    return bytes;
}

std::vector<CoreFile::FileMapping> CoreFile::fileMappings() const {
    std::vector<FileMapping> result;
    const Note* note = findNote(NT_FILE);
    if (note == nullptr || note->size < 16) return result;
    uint64_t head[2];
    memcpy(head, note->desc, sizeof head);
    const uint64_t count = head[0];
    if (count > (note->size - 16) / 24) return result;
    const char* names = reinterpret_cast<const char*>(note->desc) + 16 + count * 24;
    const char* namesEnd = reinterpret_cast<const char*>(note->desc) + note->size;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t entry[3];
        memcpy(entry, note->desc + 16 + i * 24, sizeof entry);
        const char* nul = static_cast<const char*>(memchr(names, '\0', static_cast<size_t>(namesEnd - names)));
        if (nul == nullptr) return {};
        result.push_back(FileMapping{entry[0], entry[1], entry[2], std::string(names, nul)});
        names = nul + 1;
    }
    return result;
}
