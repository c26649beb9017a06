// WriteArchive builds test archives with the archive library's writer.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

namespace webops_test {

struct Entry {
    std::string path;
    char kind = 'f';   // f file, d folder, l symbolic link, h hard link
    std::string data;  // file bytes, or the link's target
    int mode = 0644;
};

// WriteArchive writes a zip (ZIP64 forced when asked) or a tar.
inline bool WriteArchive(const std::string& file, const std::vector<Entry>& entries,
                         bool zip = true, bool zip64 = false) {
    archive* writer = archive_write_new();
    if (zip) {
        archive_write_set_format_zip(writer);
        if (zip64) {
            archive_write_set_format_option(writer, "zip", "zip64", "1");
        }
    } else {
        archive_write_set_format_pax_restricted(writer);
    }
    bool ok = archive_write_open_filename(writer, file.c_str()) == ARCHIVE_OK;
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.c_str());
        archive_entry_set_perm(entry, e.mode);
        if (e.kind == 'd') {
            archive_entry_set_filetype(entry, AE_IFDIR);
        } else if (e.kind == 'l') {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.data.c_str());
        } else if (e.kind == 'h') {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.data.c_str());
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        }
        ok = ok && archive_write_header(writer, entry) == ARCHIVE_OK;
        if (e.kind == 'f') {
            ok = ok && archive_write_data(writer, e.data.data(), e.data.size()) ==
                           static_cast<la_ssize_t>(e.data.size());
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    return ok;
}

}  // namespace webops_test
