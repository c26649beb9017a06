// MediaInfo describes one downloadable media package as the media catalogue returns it, and
// MediaContent reads the content list ("cafs.data") of a media once it has been unpacked.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/json/json.h"

// MediaInfoFields is the content of a media description.
struct MediaInfoFields {
    std::string fileName;            // file name of the package
    std::string downloadLink;        // URL of the package
    std::string desc;                // description
    std::string dovDownloadLink;     // URL of the package's content list
    std::string hash;                // checksum of the package
    std::string hashAlgorithmLabel;  // "MD5" for media from the catalogue
    std::string codelevel;           // code level that was asked for; empty for a byte-exact size
    std::int64_t size = 0;           // package size in bytes
    bool isHF = false;               // the media is a hot fix
};

class MediaInfo {
  public:
    // A default MediaInfo is empty and invalid.
    MediaInfo() = default;
    // MediaInfo stores the fields. It is valid when the file name, the download link, the
    // hash and its algorithm are all given and the size is not negative: a description
    // without them cannot be downloaded, verified or told apart from another.
    explicit MediaInfo(MediaInfoFields fields);

    // ToJSON is the object handed to the worker's "DownloadMedia" ("mi"): the members
    // "fileName", "downloadLink", "desc", "dovDownloadLink", "hash", "hashAlgorithmLabel",
    // "codelevel" (texts, empty ones as null), "size" (number) and "isHF" (boolean), in
    // this order. isValid is not part of it.
    JSON::ItemPtr ToJSON() const;
    // ToString is the one-line text for logs: "MediaInfo [fileName:<..>, ..., isHF:<true|false>,
    // isValid:<true|false>]".
    std::string ToString() const;

    const MediaInfoFields& Fields() const { return fields_; }
    const std::string& GetFileName() const { return fields_.fileName; }
    const std::string& GetDownloadLink() const { return fields_.downloadLink; }
    const std::string& GetDesc() const { return fields_.desc; }
    const std::string& GetDovDownloadLink() const { return fields_.dovDownloadLink; }
    const std::string& GetHash() const { return fields_.hash; }
    const std::string& GetHashAlgorithmLabel() const { return fields_.hashAlgorithmLabel; }
    const std::string& GetCodeLevel() const { return fields_.codelevel; }
    std::int64_t GetSize() const { return fields_.size; }
    bool IsHF() const { return fields_.isHF; }
    bool IsValid() const { return valid_; }

  private:
    MediaInfoFields fields_;
    bool valid_ = false;
};

// MediaContent is the content list of an unpacked media: the file
// <mediaFolder>/1/inst/cafs.data, one entry per line, fields separated by blanks:
//   name value [size [DELTA [TOP_PRODUCT]]]
class MediaContent {
  public:
    // MediaContent remembers the folder and the content-list path; a missing content list is
    // logged here (Parse then fails).
    explicit MediaContent(std::string mediaFolder);

    // Parse reads the content list. A line with fewer than two fields is skipped; a later
    // line with an already-seen name replaces its value and size. The total size adds every
    // line's size. False (logged) when the file cannot be read, is empty, or a size field is
    // not an unsigned decimal number (or the total overflows); the lists are then as far as
    // the parse got and IsParsed stays false. A second Parse starts afresh.
    bool Parse();

    bool IsParsed() const { return parsed_; }
    const std::string& GetMediaFolder() const { return mediaFolder_; }
    const std::string& GetCafsPath() const { return cafsPath_; }
    // Entries maps each entry name to its second field.
    const std::map<std::string, std::string>& GetEntries() const { return entries_; }
    // Sizes maps each entry that has a size to it.
    const std::map<std::string, std::uint64_t>& GetSizes() const { return sizes_; }
    std::uint64_t GetTotalSize() const { return totalSize_; }
    // The delta and top-product entries, in the order of the file.
    const std::vector<std::string>& GetDeltaList() const { return deltaList_; }
    const std::vector<std::string>& GetTopProductList() const { return topProductList_; }

  private:
    bool ParseLine(const std::string& line, std::size_t number);

    std::string mediaFolder_;
    std::string cafsPath_;
    std::map<std::string, std::string> entries_;
    std::map<std::string, std::uint64_t> sizes_;
    std::uint64_t totalSize_ = 0;
    std::vector<std::string> deltaList_;
    std::vector<std::string> topProductList_;
    bool parsed_ = false;
};
