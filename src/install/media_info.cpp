#include "install/media_info.h"

#include <charconv>
#include <limits>
#include <utility>

#include "base/logger.h"
#include "base/toolbox.h"

namespace {

std::string BoolText(bool value) {
    return value ? "true" : "false";
}

// SplitFields splits a content-list line at blanks and tabs; runs of them count as one.
std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", pos);
        if (start == std::string::npos) {
            break;
        }
        const std::size_t end = line.find_first_of(" \t", start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        pos = end == std::string::npos ? line.size() : end;
    }
    return fields;
}

// ReadUnsigned reads the whole text as an unsigned decimal number (no sign, no blanks).
bool ReadUnsigned(const std::string& text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

MediaInfo::MediaInfo(MediaInfoFields fields) : fields_(std::move(fields)) {
    valid_ = !fields_.fileName.empty() && !fields_.downloadLink.empty() && !fields_.hash.empty() &&
             !fields_.hashAlgorithmLabel.empty() && fields_.size >= 0;
}

JSON::ItemPtr MediaInfo::ToJSON() const {
    JSON::ItemPtr item = JSON::CreateObject();
    JSON::JSONObject* object = item->AsObject();
    object->Set("fileName", JSON::CreateString(fields_.fileName));
    object->Set("downloadLink", JSON::CreateString(fields_.downloadLink));
    object->Set("desc", JSON::CreateString(fields_.desc));
    object->Set("dovDownloadLink", JSON::CreateString(fields_.dovDownloadLink));
    object->Set("hash", JSON::CreateString(fields_.hash));
    object->Set("hashAlgorithmLabel", JSON::CreateString(fields_.hashAlgorithmLabel));
    object->Set("codelevel", JSON::CreateString(fields_.codelevel));
    object->Set("size", JSON::CreateNumber(fields_.size));
    object->Set("isHF", JSON::CreateBool(fields_.isHF));
    return item;
}

std::string MediaInfo::ToString() const {
    return "MediaInfo [fileName:" + fields_.fileName + ", downloadLink:" + fields_.downloadLink +
           ", desc:" + fields_.desc + ", dovDownloadLink:" + fields_.dovDownloadLink +
           ", hash:" + fields_.hash + ", hashAlgorithmLabel:" + fields_.hashAlgorithmLabel +
           ", codelevel:" + fields_.codelevel + ", size:" + std::to_string(fields_.size) +
           ", isHF:" + BoolText(fields_.isHF) + ", isValid:" + BoolText(valid_) + "]";
}

MediaContent::MediaContent(std::string mediaFolder)
    : mediaFolder_(std::move(mediaFolder)),
      cafsPath_(ToolBox::JoinPath(ToolBox::JoinPath(ToolBox::JoinPath(mediaFolder_, "1"), "inst"),
                                  "cafs.data")) {
    if (!ToolBox::PathExists(cafsPath_)) {
        Logger::Error("[MediaContent::MediaContent]Invalid media folder '" + mediaFolder_ +
                      "' ! the cafs.data not found here : " + cafsPath_);
    }
}

bool MediaContent::Parse() {
    entries_.clear();
    sizes_.clear();
    totalSize_ = 0;
    deltaList_.clear();
    topProductList_.clear();
    parsed_ = false;
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(cafsPath_, lines)) {
        Logger::Error("[MediaContent::Parse]Fail to parse this cafs.data file : " + cafsPath_);
        return false;
    }
    if (lines.empty()) {
        Logger::Error("[MediaContent::Parse]the follwing cafs.data file is empty : " + cafsPath_);
        return false;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!ParseLine(lines[i], i + 1)) {
            return false;
        }
    }
    parsed_ = true;
    return true;
}

bool MediaContent::ParseLine(const std::string& line, std::size_t number) {
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.size() < 2) {
        return true;
    }
    const std::string& name = fields[0];
    entries_[name] = fields[1];
    if (fields.size() > 2) {
        std::uint64_t size = 0;
        if (!ReadUnsigned(fields[2], size) ||
            size > std::numeric_limits<std::uint64_t>::max() - totalSize_) {
            Logger::Error("[MediaContent::Parse]Invalid size '" + fields[2] + "' at line " +
                          std::to_string(number) + " of this cafs.data file : " + cafsPath_);
            return false;
        }
        sizes_[name] = size;
        totalSize_ += size;
    }
    if (fields.size() > 3 && fields[3] == "DELTA") {
        deltaList_.push_back(name);
    }
    if (fields.size() > 4 && fields[4] == "TOP_PRODUCT") {
        topProductList_.push_back(name);
    }
    return true;
}
