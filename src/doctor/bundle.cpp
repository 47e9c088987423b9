#include "doctor/bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

namespace qe {
namespace {

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;
using EntryPtr = std::unique_ptr<archive_entry, EntryFree>;

std::string ArchiveError(archive* a) {
    const char* text = a != nullptr ? archive_error_string(a) : nullptr;
    return text != nullptr ? text : "the archive could not be written";
}

bool WriteEntries(int fd, const std::vector<BundleEntry>& entries, std::string& error) {
    ArchivePtr a(archive_write_new());
    if (!a || archive_write_set_format_zip(a.get()) != ARCHIVE_OK ||
        archive_write_open_fd(a.get(), fd) != ARCHIVE_OK) {
        error = ArchiveError(a.get());
        return false;
    }
    const std::time_t now = std::time(nullptr);
    for (const BundleEntry& item : entries) {
        EntryPtr entry(archive_entry_new());
        if (!entry) {
            error = "out of memory";
            return false;
        }
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0600);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        archive_entry_set_mtime(entry.get(), now, 0);
        if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(a.get(), item.content.data(), item.content.size()) !=
                static_cast<la_ssize_t>(item.content.size())) {
            error = ArchiveError(a.get());
            return false;
        }
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK) {
        error = ArchiveError(a.get());
        return false;
    }
    return true;
}

}  // namespace

bool WriteBundle(const std::string& path, const std::vector<BundleEntry>& entries,
                 std::string& error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = WriteEntries(fd, entries, error);
    if (ok && fsync(fd) != 0) {
        error = std::string("cannot write the archive: ") + std::strerror(errno);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        error = std::string("cannot write the archive: ") + std::strerror(errno);
        ok = false;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        unlink(temporary.c_str());
    }
    return ok;
}

}  // namespace qe
