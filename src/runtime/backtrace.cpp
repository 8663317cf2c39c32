#include "runtime/backtrace.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "runtime/contract.hpp"

// Names come from the ELF symbol table of the object file that holds each return
// address. The Python module hides its internal symbols, so the dynamic symbol
// table (all that dladdr reads) names almost none of our own functions; the
// static .symtab of the file on disk names all of them. Each object file is read
// once and its function symbols are kept for the life of the process.

namespace velqor {
namespace {

constexpr int kMaxFrames = 256;
constexpr std::string_view kMainProgram = "/proc/self/exe";

// Mangled names of the functions that raise a panic (velqor::panic and
// velqor::panic_nounwind) up to the end of the qualified name; any overload matches.
constexpr std::string_view kPanicNames[] = {"_ZN6velqor5panic", "_ZN6velqor14panic_nounwind"};
constexpr std::string_view kSelfName = "_ZN6velqor16format_backtrace";
// How far from the top this function's own frame may lie: backtrace() itself is
// frame 0's callee, but an interposed backtrace (sanitizers) adds frames above it.
constexpr std::size_t kSelfSearchDepth = 4;

// The ELF class and byte order of this process's own objects (ElfW names
// their structures): the only files whose symbols a return address can lie in.
constexpr unsigned char kNativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kNativeData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
using FileHeader = ElfW(Ehdr);
using SectionHeader = ElfW(Shdr);
using SymbolEntry = ElfW(Sym);

// A file descriptor closed on scope exit.
class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

// Reads exactly `size` bytes at `offset`; false on any short read or error.
bool read_at(int fd, std::uint64_t offset, void* out, std::size_t size) {
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
    return offset <= file_size && size <= file_size - offset;
}

// The function symbols of one object file, sorted by address (link-time values,
// to be compared with runtime address minus the load bias).
class SymbolFile {
public:
    explicit SymbolFile(const std::string& path) { load(path); }

    // The raw (mangled) name of the function containing `address`, or empty.
    std::string_view find(std::uint64_t address) const {
        auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                                   [](std::uint64_t a, const Symbol& s) { return a < s.start; });
        if (it == symbols_.begin()) return {};
        --it;
        if (it->size != 0 && address - it->start >= it->size) return {};
        return std::string_view(names_.data() + it->name);
    }

private:
    struct Symbol {
        std::uint64_t start;
        std::uint64_t size;
        std::uint32_t name;  // offset into names_
    };

    void load(const std::string& path) {
        const FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (file.get() < 0) return;
        struct stat info {};
        if (::fstat(file.get(), &info) != 0 || info.st_size <= 0) return;
        const auto file_size = static_cast<std::uint64_t>(info.st_size);

        FileHeader header{};
        if (!read_at(file.get(), 0, &header, sizeof header)) return;
        if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kNativeClass ||
            header.e_ident[EI_DATA] != kNativeData || header.e_shentsize != sizeof(SectionHeader) ||
            header.e_shoff == 0) {
            return;
        }
        std::uint64_t count = header.e_shnum;
        if (count == 0) {  // more sections than e_shnum holds: section 0 has the count
            SectionHeader first{};
            if (!read_at(file.get(), header.e_shoff, &first, sizeof first)) return;
            count = first.sh_size;
        }
        if (count == 0 || !fits(header.e_shoff, count * sizeof(SectionHeader), file_size)) return;
        std::vector<SectionHeader> sections(count);
        if (!read_at(file.get(), header.e_shoff, sections.data(), count * sizeof(SectionHeader))) {
            return;
        }

        // The full symbol table when the file has one, else the dynamic one.
        const SectionHeader* table = nullptr;
        for (const std::uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
            for (const SectionHeader& s : sections) {
                if (s.sh_type == wanted) {
                    table = &s;
                    break;
                }
            }
            if (table != nullptr) break;
        }
        if (table == nullptr || table->sh_link >= count) return;
        const SectionHeader& strings = sections[table->sh_link];
        if (strings.sh_type != SHT_STRTAB || strings.sh_size == 0 ||
            (table->sh_entsize != 0 && table->sh_entsize != sizeof(SymbolEntry)) ||
            !fits(table->sh_offset, table->sh_size, file_size) ||
            !fits(strings.sh_offset, strings.sh_size, file_size) || strings.sh_size > UINT32_MAX) {
            return;
        }

        std::vector<SymbolEntry> raw(table->sh_size / sizeof(SymbolEntry));
        names_.resize(strings.sh_size + 1);
        if (!read_at(file.get(), table->sh_offset, raw.data(), raw.size() * sizeof(SymbolEntry)) ||
            !read_at(file.get(), strings.sh_offset, names_.data(), strings.sh_size)) {
            names_.clear();
            return;
        }
        names_.back() = '\0';  // every name ends inside the table, even a corrupt one

        symbols_.reserve(raw.size());
        for (const SymbolEntry& sym : raw) {
            const unsigned type = ELF64_ST_TYPE(sym.st_info);
            if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0 ||
                sym.st_name == 0 || sym.st_name >= strings.sh_size) {
                continue;
            }
            symbols_.push_back({sym.st_value, sym.st_size, sym.st_name});
        }
        // Aliases share a start; a sized one wins over an unsized one.
        std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) {
            if (a.start != b.start) return a.start < b.start;
            return (a.size != 0) < (b.size != 0);
        });
    }

    std::vector<Symbol> symbols_;
    std::vector<char> names_;
};

// The loaded object that contains an address: its file and its load bias.
struct ObjectInfo {
    std::string path;  // empty when the address lies in no loaded object
    std::uintptr_t bias = 0;
};

ObjectInfo object_containing(std::uintptr_t address) {
    struct Search {
        std::uintptr_t address;
        ObjectInfo found;
        bool hit;
    } search{address, {}, false};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                if (s->address - start < ph.p_memsz) {
                    const char* name = info->dlpi_name;
                    s->found.path =
                        (name == nullptr || name[0] == '\0') ? std::string(kMainProgram) : std::string(name);
                    s->found.bias = info->dlpi_addr;
                    s->hit = true;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.hit ? search.found : ObjectInfo{};
}

std::mutex g_cache_mutex;

// Symbol files by path and bias, read on first need and kept.
const SymbolFile& symbol_file(const ObjectInfo& object) {
    struct Entry {
        std::string path;
        std::uintptr_t bias;
        std::unique_ptr<SymbolFile> symbols;
    };
    static std::vector<Entry> cache;
    const std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (const Entry& e : cache) {
        if (e.bias == object.bias && e.path == object.path) return *e.symbols;
    }
    cache.push_back({object.path, object.bias, std::make_unique<SymbolFile>(object.path)});
    return *cache.back().symbols;
}

std::string display_path(const std::string& path) {
    if (path != kMainProgram) return path;
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : path;
}

struct Frame {
    std::string raw;      // mangled symbol name, or empty
    std::string display;  // what the line shows
};

Frame resolve(void* return_address) {
    // A return address may already lie in the next function (after a call that
    // does not return), so look up the byte before it.
    const auto address = reinterpret_cast<std::uintptr_t>(return_address);
    const std::uintptr_t lookup = address - 1;
    Frame frame;
    const ObjectInfo object = object_containing(lookup);
    if (!object.path.empty()) {
        frame.raw = std::string(symbol_file(object).find(lookup - object.bias));
    }
    if (frame.raw.empty()) {
        Dl_info info{};
        if (::dladdr(reinterpret_cast<void*>(lookup), &info) != 0 && info.dli_sname != nullptr) {
            frame.raw = info.dli_sname;
        }
    }
    if (!frame.raw.empty()) {
        int status = -1;
        const std::unique_ptr<char, FreeDeleter> demangled(
            abi::__cxa_demangle(frame.raw.c_str(), nullptr, nullptr, &status));
        frame.display = (status == 0 && demangled) ? std::string(demangled.get()) : frame.raw;
    } else if (!object.path.empty()) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "+0x%zx", static_cast<std::size_t>(address - object.bias));
        frame.display = display_path(object.path) + offset;
    } else {
        frame.display = std::string(msg::kFrameUnknown);
    }
    return frame;
}

// True when `mangled` names the function `qualified` (given mangled up to the end
// of its last name component): the nested name ends there ('E'), or an ABI tag
// ('B', as for functions returning std::string) follows it.
bool names_function(std::string_view mangled, std::string_view qualified) {
    if (!mangled.starts_with(qualified) || mangled.size() == qualified.size()) return false;
    const char next = mangled[qualified.size()];
    return next == 'E' || next == 'B';
}

}  // namespace

__attribute__((noinline)) std::string format_backtrace(bool full) {
    try {
        void* addresses[kMaxFrames];
        const int count = ::backtrace(addresses, kMaxFrames);
        std::vector<Frame> frames;
        frames.reserve(static_cast<std::size_t>(std::max(count, 0)));
        for (int i = 0; i < count; ++i) frames.push_back(resolve(addresses[i]));

        std::size_t first = 0;
        if (!full) {
            // Leave out everything up to the innermost panic-raising frame; without
            // one, everything up to this function's own frame, which is frame 0
            // when it cannot be found by name.
            const auto raiser = std::find_if(frames.begin(), frames.end(), [](const Frame& f) {
                return std::any_of(std::begin(kPanicNames), std::end(kPanicNames),
                                   [&f](std::string_view name) { return names_function(f.raw, name); });
            });
            if (raiser != frames.end()) {
                first = static_cast<std::size_t>(raiser - frames.begin()) + 1;
            } else {
                first = std::min<std::size_t>(1, frames.size());
                for (std::size_t i = 0; i < std::min(kSelfSearchDepth, frames.size()); ++i) {
                    if (names_function(frames[i].raw, kSelfName)) first = i + 1;
                }
            }
        }

        std::string text;
        for (std::size_t i = first; i < frames.size(); ++i) {
            char index[32];
            std::snprintf(index, sizeof index, "%4zu: ", i - first);
            text.append(index).append(frames[i].display).push_back('\n');
        }
        return text;
    } catch (...) {
        try {
            return std::string(msg::kBacktraceUnavailable);
        } catch (...) {
            return {};
        }
    }
}

}  // namespace velqor
