#include "base/json/json.h"
#include "base/logger.h"
#include "core/functionnal_core.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"

std::uint32_t FunctionnalCore::MakeShortcut(const ZorvidRequestInfo& request,
                                            std::int32_t& shortcutResult,
                                            const std::vector<std::string>& command,
                                            const std::string& name, const std::string& description,
                                            const std::string& iconPath, std::int32_t iconIndex) {
    const std::string tag = "[FunctionnalCore::MakeShortcut]";
    Logger::Debug(tag +
                  "Trying to create Shortcut with these parameters throught wuser's wroker:\n" +
                  "-[cmd]: " + Companions::JoinItems(command) + "\n-[scName]: " + name +
                  "\n-[scDesc]: " + description + "\n-[iconPath]: " + iconPath +
                  "\n-[iconIndex]: " + std::to_string(iconIndex));
    JSON::ItemPtr args = JSON::CreateObject();
    JSON::JSONObject* members = args->AsObject();
    members->Set("action", JSON::CreateString(Companions::kActionMakeShortcut));
    JSON::ItemPtr elements = JSON::CreateArray();
    for (const std::string& element : command) {
        elements->AsArray()->Add(JSON::CreateString(element));
    }
    members->Set("cmd", std::move(elements));
    members->Set("scName", JSON::CreateString(name));
    members->Set("scDesc", JSON::CreateString(description));
    members->Set("iconPath", JSON::CreateString(iconPath));
    members->Set("iconIndex", JSON::CreateNumber(iconIndex));
    JSON::ItemPtr content;
    const std::uint32_t result = Operations::AsUser::RunOperationByUserExtension(
        request, Companions::kVerbRun, args.get(), content);
    if (result != Operations::AsUser::kResultOk) {
        return result;
    }
    if (!content || !content->IsNumber()) {
        Logger::Error(tag + "the worker's shortcut result is not a number : " +
                      (content ? content->Print() : std::string("NULL")));
        shortcutResult = WebOperationCodes::kShortcutFailed;
        return Operations::AsUser::kResultBadReply;
    }
    shortcutResult = static_cast<std::int32_t>(content->GetInt64());
    return Operations::AsUser::kResultOk;
}
