#include "session/companions.h"

#include "base/json/json.h"
#include "base/toolbox.h"
#include "platform/command_line.h"

namespace Companions {

namespace {

#ifdef _WIN32
constexpr const char* kExecutableSuffix = ".exe";
#else
constexpr const char* kExecutableSuffix = "";
#endif

}  // namespace

const ProductToolNames& ToolNames() {
#ifdef _WIN32
    return kWindowsToolNames;
#else
    return kLinuxToolNames;
#endif
}

std::string QuoteItem(const std::string& item) {
    const std::string quoted = ToolBox::QuoteCommandLineArg(item);
    if (!quoted.empty() && quoted.front() == '"') {
        return quoted;
    }
    // No blank and no quote: the item has no backslash that precedes a quote, so wrapping it
    // changes nothing but its backslashes at the end, which the closing quote now follows.
    std::string wrapped = "\"" + item;
    std::size_t trailing = 0;
    while (trailing < item.size() && item[item.size() - 1 - trailing] == '\\') {
        ++trailing;
    }
    wrapped.append(trailing, '\\');
    return wrapped + "\"";
}

std::string ExecutableName(const std::string& program) {
    return program + kExecutableSuffix;
}

std::string GuiExecutableName() {
    return ExecutableName(kGuiProgram);
}

std::string TrayExecutableName() {
    return ExecutableName(kTrayProgram);
}

std::string WorkerPipeName(std::uint32_t sessionId, std::int64_t secondsSince1970) {
    return std::string(kWorkerPipePrefix) + std::to_string(sessionId) + "_" +
           std::to_string(secondsSince1970);
}

std::string WorkerCommandLine(const std::string& executablePath, const std::string& pipeName) {
    return ToolBox::Quote(executablePath) + " " + kRunMode + " " + pipeName;
}

std::string PostStatusText(const std::string& windowClass, std::uint32_t message,
                           std::int64_t lparam, std::uint64_t wparam) {
    JSON::JSONDocument document;
    document.NewObject();
    document.Set("wnd", JSON::CreateString(windowClass));
    document.Set("label", JSON::CreateString(std::to_string(message)));
    document.Set("lparam", JSON::CreateString(std::to_string(lparam)));
    document.Set("wparam", JSON::CreateString(std::to_string(wparam)));
    document.End();
    return document.ToString();
}

std::string EscapeQuotes(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

std::vector<std::string> PostStatusCommand(const std::string& executablePath,
                                           const std::string& postStatusText) {
    return {ToolBox::Quote(executablePath), kPostStatusMode,
            ToolBox::Quote(EscapeQuotes(postStatusText))};
}

std::string StopWorkerText() {
    return PostStatusText(kWorkerWindowClass, kWorkerQuitMessage, 0, 0);
}

std::vector<std::string> UpdateCommand(const std::string& executableCopy, const std::string& msi,
                                       const std::string& log, const std::string& installFolder,
                                       std::uint32_t sessionId) {
    return {QuoteItem(executableCopy),
            kUpdateMode,
            QuoteItem(msi),
            QuoteItem(log),
            QuoteItem(installFolder),
            std::to_string(sessionId)};
}

std::vector<std::string> StartToolCommand(const std::string& toolPath, const std::string& exeName,
                                          const std::string& envName, const std::string& envDir,
                                          const std::string& argument) {
    std::vector<std::string> items = {ToolBox::Quote(toolPath), "-run", QuoteItem(exeName)};
    if (!envName.empty()) {
        items.insert(items.end(), {"-env", QuoteItem(envName)});
    }
    if (!envDir.empty()) {
        items.insert(items.end(), {"-direnv", QuoteItem(envDir)});
    }
    if (!argument.empty()) {
        items.insert(items.end(), {"-object", QuoteItem(argument)});
    }
    items.emplace_back("-nowindow");
    return items;
}

std::vector<std::string> EnvCreationCommand(const std::string& toolPath, const std::string& envName,
                                            const std::string& envDir,
                                            const std::string& installRoot,
                                            const std::string& reference) {
    std::vector<std::string> items = {ToolBox::Quote(toolPath), "-e", QuoteItem(envName),    "-d",
                                      QuoteItem(envDir),        "-p", QuoteItem(installRoot)};
    if (!reference.empty()) {
        items.insert(items.end(), {"-cf", QuoteItem(reference)});
    }
    items.insert(items.end(), {"-icon", "no", "-menu", "no"});
    return items;
}

std::vector<std::string> EnvChangeCommand(const std::string& toolPath, const std::string& envName,
                                          const std::string& envDir, const std::string& name,
                                          const std::string& value, bool isNew) {
    std::vector<std::string> items = {
        ToolBox::Quote(toolPath),     "-e", envName, "-d", QuoteItem(envDir), "-var",
        QuoteItem(name + "=" + value)};
    if (isNew) {
        items.emplace_back("-new");
    }
    return items;
}

std::vector<std::string> UninstallCommand(const std::string& scriptPath) {
    return {QuoteItem(scriptPath), "-quiet"};
}

std::string JoinItems(const std::vector<std::string>& items, const std::string& separator) {
    return ToolBox::Join(items, separator);
}

}  // namespace Companions
