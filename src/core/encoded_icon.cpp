// processEncodedIcon and resolveEnvVarInPath: icons given inline by a page, and paths with
// %NAME% variables as the user's programs see them.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "core/ico_file.h"
#include "platform/image_codec.h"
#include "session/companions.h"
#include "session/operations_as_user.h"

namespace {

constexpr const char* kIconTag = "[FunctionnalCore>processEncodedIcon] ";
constexpr std::int32_t kFileFailed = 138;
constexpr std::int32_t kBadData = 139;
// kMaxEncodedBytes bounds the Base64 text; kMaxImageSide the decoded image, checked from
// its header before any pixel is decoded; kIconSide is the largest side an icon file holds.
constexpr std::size_t kMaxEncodedBytes = 4 * 1024 * 1024;
constexpr int kMaxImageSide = 4096;
constexpr int kIconSide = 256;

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xffff);
    Put16(out, value >> 16);
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// FileStem is "custom_icon_" + the time and a counter, so that two icons of one second
// get two files.
std::string FileStem() {
    static std::atomic<unsigned> counter{0};
    return "custom_icon_" + ToolBox::FormatTime(std::nullopt, false, false, "%Y_%m_%d-%H%M%S") +
           "_" + std::to_string(counter++);
}

// ScaledSize keeps the image when both sides fit an icon, else scales it by its longer side
// to 256 pixels, each side truncated and at least 1.
void ScaledSize(int width, int height, int& newWidth, int& newHeight) {
    const int longer = width > height ? width : height;
    newWidth = width;
    newHeight = height;
    if (longer > kIconSide) {
        newWidth = static_cast<int>(static_cast<long long>(width) * kIconSide / longer);
        newHeight = static_cast<int>(static_cast<long long>(height) * kIconSide / longer);
        newWidth = newWidth < 1 ? 1 : newWidth;
        newHeight = newHeight < 1 ? 1 : newHeight;
    }
}

// DecodeIcon turns the Base64 text into an image that fits an icon; kBadData on failure.
std::int32_t DecodeIcon(const std::string& value, const std::string& data,
                        platform::RgbaImage& icon, std::vector<std::uint8_t>& raw) {
    if (data.size() > kMaxEncodedBytes || !platform::DecodeBase64(data, raw)) {
        Logger::Error(std::string(kIconTag) + "The encoded data is not Base64 or is larger than " +
                      std::to_string(kMaxEncodedBytes) + " bytes (" + std::to_string(value.size()) +
                      " characters)");
        return kBadData;
    }
    int width = 0;
    int height = 0;
    if (!platform::ReadImageSize(raw, width, height) || width > kMaxImageSide ||
        height > kMaxImageSide) {
        Logger::Error(std::string(kIconTag) + "The data is no image, or one beyond " +
                      std::to_string(kMaxImageSide) + " pixels a side [" + std::to_string(width) +
                      "x" + std::to_string(height) + "]");
        return kBadData;
    }
    platform::RgbaImage image;
    if (!platform::DecodeImage(raw, image)) {
        Logger::Error(std::string(kIconTag) + "Cannot decode the image data");
        return kBadData;
    }
    int newWidth = 0;
    int newHeight = 0;
    ScaledSize(image.width, image.height, newWidth, newHeight);
    if (newWidth == image.width && newHeight == image.height) {
        icon = std::move(image);
    } else if (!platform::ScaleImage(image, newWidth, newHeight, icon)) {
        Logger::Error(std::string(kIconTag) + "Failed to resize the image from [" +
                      std::to_string(image.width) + "x" + std::to_string(image.height) + "] to [" +
                      std::to_string(newWidth) + "x" + std::to_string(newHeight) + "]!");
        return kBadData;
    }
    return 0;
}

}  // namespace

std::vector<std::uint8_t> IcoFileBytes(int width, int height,
                                       const std::vector<std::uint8_t>& rgba) {
    if (width < 1 || height < 1 || width > kIconSide || height > kIconSide ||
        rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return {};
    }
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    const std::uint32_t h = static_cast<std::uint32_t>(height);
    const std::uint32_t maskRow = (w + 31) / 32 * 4;
    const std::uint32_t colourSize = w * h * 4;
    const std::uint32_t imageSize = 40 + colourSize + maskRow * h;
    std::vector<std::uint8_t> out;
    out.reserve(22 + imageSize);
    Put16(out, 0);  // header: reserved, type 1 (icon), one image
    Put16(out, 1);
    Put16(out, 1);
    out.push_back(static_cast<std::uint8_t>(w & 0xff));  // directory entry: 256 is written 0
    out.push_back(static_cast<std::uint8_t>(h & 0xff));
    out.push_back(0);  // colour count: 0 at 32 bits
    out.push_back(0);
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, imageSize);
    Put32(out, 22);
    for (const std::uint32_t field : {40u, w, h * 2}) {  // bitmap information header
        Put32(out, field);
    }
    Put16(out, 1);
    Put16(out, 32);
    for (const std::uint32_t field : {0u, colourSize + maskRow * h, 0u, 0u, 0u, 0u}) {
        Put32(out, field);
    }
    for (std::uint32_t row = h; row-- > 0;) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* pixel = &rgba[(row * w + x) * 4];
            out.insert(out.end(), {pixel[2], pixel[1], pixel[0], pixel[3]});
        }
    }
    for (std::uint32_t row = h; row-- > 0;) {
        std::vector<std::uint8_t> mask(maskRow, 0);
        for (std::uint32_t x = 0; x < w; ++x) {
            if (rgba[(row * w + x) * 4 + 3] == 0) {
                mask[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
        out.insert(out.end(), mask.begin(), mask.end());
    }
    return out;
}

std::int32_t FunctionnalCore::processEncodedIcon(std::string& iconPath, const std::string& value,
                                                 std::size_t markerPosition) {
    Logger::Debug(std::string(kIconTag) +
                  "Encoded icon data detected! Try to decode: " + value.substr(0, 256));
    const std::size_t start = value.find(',', markerPosition);
    const std::string data = start == std::string::npos ? std::string() : value.substr(start + 1);
    if (data.empty()) {
        Logger::Error(std::string(kIconTag) + "Empty data in the encoded string: [" + value + "]");
        return kBadData;
    }
    platform::RgbaImage icon;
    std::vector<std::uint8_t> raw;
    if (const std::int32_t rc = DecodeIcon(value, data, icon, raw); rc != 0) {
        return rc;
    }
    std::string folder;
    if (!FileAndFoldersManager::GetFolder(Folder::ICON, folder, true)) {
        Logger::Error(std::string(kIconTag) + "Cannot resolve the ICON folder");
        return kFileFailed;
    }
    const std::string stem = ToolBox::JoinPath(folder, FileStem());
    if (Config::IsActivated(ConfigId::KEEP_ICON_RAW_IMAGE) && !WriteBytes(stem + ".raw", raw)) {
        Logger::Error(std::string(kIconTag) + "Cannot write image binary here: " + stem + ".raw");
    }
    // Desktops that do not read icon files show the PNG beside it.
    std::vector<std::uint8_t> png;
    if (!WriteBytes(stem + ".ico", IcoFileBytes(icon.width, icon.height, icon.pixels)) ||
        !platform::EncodePng(icon, png) || !WriteBytes(stem + ".png", png)) {
        Logger::Error(std::string(kIconTag) + "Cannot write icon file: " + stem + ".ico");
        return kFileFailed;
    }
    iconPath = stem + ".ico";
    return 0;
}

bool FunctionnalCore::resolveEnvVarInPath(const ZorvidRequestInfo& request, const std::string& path,
                                          std::string& result) {
    const std::string tag = "[FunctionalCore::resolveEnvVarInPath]";
    Logger::Internal(tag + "Try to resolve environment variables inside the given path : " + path);
    if (std::count(path.begin(), path.end(), '%') < 2) {
        result = path;
        return true;
    }
    JSON::ItemPtr args = JSON::CreateObject();
    args->AsObject()->Set("action", JSON::CreateString(Companions::kActionExpandPath));
    args->AsObject()->Set("path", JSON::CreateString(path));
    JSON::ItemPtr content;
    const std::uint32_t rc = Operations::AsUser::RunOperationByUserExtension(
        request, Companions::kVerbRun, args.get(), content);
    if (rc != Operations::AsUser::kResultOk || !content || !content->IsString()) {
        Logger::Error(
            tag + "Fail to resolve environment variables inside the dataStorage path : " + path);
        return false;
    }
    result = content->GetString();
    return true;
}
