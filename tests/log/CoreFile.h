// A read-only view of an ELF64 core file, bounds-checked, for the tests'
// checks of what the crash-dump filter wrote.
#pragma once

#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CoreFile {
public:
    struct Note {
        uint32_t type;
        std::string name;
        const unsigned char* desc;
        size_t size;
    };
    struct FileMapping {
        uint64_t start;
        uint64_t end;
        uint64_t pageOffset;
        std::string path;
    };

    CoreFile() = default;
    ~CoreFile();
    CoreFile(const CoreFile&) = delete;
    CoreFile& operator=(const CoreFile&) = delete;

    // Maps and checks the file; on failure returns false with a reason.
    bool open(const std::string& path, std::string& error);

    const Elf64_Ehdr& header() const { return *reinterpret_cast<const Elf64_Ehdr*>(fData); }
    const std::vector<Elf64_Phdr>& segments() const { return fSegments; }
    const std::vector<Note>& notes() const { return fNotes; }
    size_t size() const { return fSize; }
    // The end of the last segment's bytes in the file.
    uint64_t contentEnd() const;

    const Note* findNote(uint32_t type) const;
    const Elf64_Phdr* loadCovering(uint64_t address) const;
    // The dumped bytes of [address, address + length), which may span
    // adjacent segments; empty when some byte is not in the file.
    std::vector<unsigned char> memory(uint64_t address, size_t length) const;
    // The entries of the NT_FILE note (empty when it is missing or malformed).
    std::vector<FileMapping> fileMappings() const;

private:
    bool readSegments(std::string& error);
    bool readNotes(const Elf64_Phdr& segment, std::string& error);

    unsigned char* fData = nullptr;
    size_t fSize = 0;
    std::vector<Elf64_Phdr> fSegments;
    std::vector<Note> fNotes;
};
