// vlreg: adds, lists and deletes keys and string values of the machine's registry store, the
// way product setup programs and administrators do.
//
//   vlreg add <key> [/v name | /ve] [/d data] [/t REG_SZ] [/f] [/reg:32|/reg:64]
//   vlreg query <key> [/v name | /ve] [/s] [/reg:32|/reg:64]
//   vlreg delete <key> [/v name | /ve] [/f] [/reg:32|/reg:64]
//   --root DIR (anywhere) uses the store in DIR.
//
// Keys are written HKLM\Software\... or HKEY_LOCAL_MACHINE\Software\... Options may start
// with '/' or '-' and are case-insensitive. The exit code is 0 on success, 1 otherwise.
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sys_error.h"

namespace {

constexpr std::uint32_t kInvalidData = 13;

struct Options {
    std::string command;
    std::string key;  // below HKEY_LOCAL_MACHINE
    std::optional<std::string> valueName;
    std::optional<std::string> data;
    bool recursive = false;
    platform::RegistryView view = platform::RegistryView::Native;
};

void Usage() {
    std::cerr << "usage: vlreg add <key> [/v name | /ve] [/d data] [/t REG_SZ] [/f] "
                 "[/reg:32|/reg:64] [--root DIR]\n"
                 "       vlreg query <key> [/v name | /ve] [/s] [/reg:32|/reg:64] [--root DIR]\n"
                 "       vlreg delete <key> [/v name | /ve] [/f] [/reg:32|/reg:64] [--root DIR]\n"
                 "  <key> is HKLM\\<path> or HKEY_LOCAL_MACHINE\\<path>\n";
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// RelativeKey strips the root name; nullopt when the key is not below HKEY_LOCAL_MACHINE.
std::optional<std::string> RelativeKey(const std::string& key) {
    const std::size_t cut = key.find('\\');
    const std::string root = Lower(key.substr(0, cut));
    if (root != "hklm" && root != "hkey_local_machine") {
        return std::nullopt;
    }
    if (cut == std::string::npos) {
        return std::string();
    }
    std::string rest = key.substr(cut + 1);
    while (!rest.empty() && rest.back() == '\\') {
        rest.pop_back();
    }
    return rest;
}

int Fail(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n";
    return 1;
}

std::string ErrorText(std::uint32_t rc) {
    if (rc == platform::SysError::FILE_NOT_FOUND) {
        return "The system was unable to find the specified registry key or value.";
    }
    if (rc == kInvalidData) {
        return "The value is not a string.";
    }
    return platform::SystemErrorMessage(rc) + " (error " + std::to_string(rc) + ")";
}

bool NeedsArgument(const std::vector<std::string>& args, std::size_t i) {
    if (i + 1 >= args.size()) {
        std::cerr << "ERROR: option " << args[i] << " needs an argument\n";
        return false;
    }
    return true;
}

// ParseOption reads the option at args[i] (and its argument); false on a bad option.
bool ParseOption(const std::vector<std::string>& args, std::size_t& i, Options& options) {
    const std::string option = Lower(args[i].substr(1));
    if (option == "v" || option == "d" || option == "t") {
        if (!NeedsArgument(args, i)) {
            return false;
        }
        const std::string& argument = args[++i];
        if (option == "v") {
            options.valueName = argument;
        } else if (option == "d") {
            options.data = argument;
        } else if (Lower(argument) != "reg_sz") {
            std::cerr << "ERROR: only REG_SZ values can be written\n";
            return false;
        }
    } else if (option == "ve") {
        options.valueName = std::string();
    } else if (option == "s") {
        options.recursive = true;
    } else if (option == "f") {
        // Nothing is ever asked interactively.
    } else if (option == "reg:32") {
        options.view = platform::RegistryView::Force32;
    } else if (option == "reg:64") {
        options.view = platform::RegistryView::Force64;
    } else {
        std::cerr << "ERROR: unknown option " << args[i] << "\n";
        return false;
    }
    return true;
}

bool ParseArguments(const std::vector<std::string>& args, Options& options) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--root") {
            if (!NeedsArgument(args, i)) {
                return false;
            }
            platform::SetRegistryLocation(args[++i]);
        } else if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
            if (!ParseOption(args, i, options)) {
                return false;
            }
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        Usage();
        return false;
    }
    options.command = Lower(positional[0]);
    const auto key = RelativeKey(positional[1]);
    if (!key) {
        std::cerr << "ERROR: only keys below HKLM (HKEY_LOCAL_MACHINE) are supported: "
                  << positional[1] << "\n";
        return false;
    }
    options.key = *key;
    return true;
}

std::string FullName(const std::string& key) {
    return key.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + key;
}

int Add(const Options& options) {
    platform::RegistryKey key;
    auto rc = platform::CreateRegistryKey(platform::RegistryRoot::LocalMachine, options.key,
                                          options.view, key);
    if (rc == 0 && (options.valueName || options.data)) {
        rc = key.SetString(options.valueName.value_or(""), options.data.value_or(""));
    }
    if (rc != 0) {
        return Fail(ErrorText(rc));
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
}

void PrintValue(const platform::RegistryKey& key, const std::string& name) {
    std::string data;
    const auto rc = key.QueryString(name, data);
    std::cout << "    " << (name.empty() ? "(Default)" : name);
    if (rc == 0) {
        std::cout << "    REG_SZ    " << data << "\n";
    } else {
        std::cout << "    (" << (rc == kInvalidData ? "not a string" : ErrorText(rc)) << ")\n";
    }
}

// PrintKey prints the key's values, then its sub-keys (recursively with /s).
std::uint32_t PrintKey(const Options& options, const std::string& path) {
    platform::RegistryKey key;
    const auto rc = platform::OpenRegistryKey(platform::RegistryRoot::LocalMachine, path,
                                              options.view, platform::RegistryAccess::Read, key);
    if (rc != 0) {
        return rc;
    }
    std::vector<std::string> values;
    std::vector<std::string> subkeys;
    key.EnumValues(values);
    key.EnumSubkeys(subkeys);
    std::cout << "\n" << FullName(path) << "\n";
    for (const auto& name : values) {
        PrintValue(key, name);
    }
    for (const auto& subkey : subkeys) {
        const std::string child = path.empty() ? subkey : path + "\\" + subkey;
        if (options.recursive) {
            PrintKey(options, child);
        } else {
            std::cout << "\n" << FullName(child);
        }
    }
    if (!options.recursive && !subkeys.empty()) {
        std::cout << "\n";
    }
    return 0;
}

int Query(const Options& options) {
    if (!options.valueName) {
        const auto rc = PrintKey(options, options.key);
        return rc == 0 ? 0 : Fail(ErrorText(rc));
    }
    platform::RegistryKey key;
    auto rc = platform::OpenRegistryKey(platform::RegistryRoot::LocalMachine, options.key,
                                        options.view, platform::RegistryAccess::Read, key);
    std::string data;
    if (rc == 0) {
        rc = key.QueryString(*options.valueName, data);
    }
    if (rc != 0) {
        return Fail(ErrorText(rc));
    }
    std::cout << "\n" << FullName(options.key) << "\n";
    PrintValue(key, *options.valueName);
    return 0;
}

int Delete(const Options& options) {
    std::uint32_t rc = 0;
    if (options.valueName) {
        platform::RegistryKey key;
        rc = platform::OpenRegistryKey(platform::RegistryRoot::LocalMachine, options.key,
                                       options.view, platform::RegistryAccess::ReadWrite, key);
        if (rc == 0) {
            rc = key.DeleteValue(*options.valueName);
        }
    } else if (options.key.empty()) {
        return Fail("the root key cannot be deleted");
    } else {
        rc = platform::DeleteRegistryKey(platform::RegistryRoot::LocalMachine, options.key,
                                         options.view);
    }
    if (rc != 0) {
        return Fail(ErrorText(rc));
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    if (!ParseArguments(args, options)) {
        return 1;
    }
    platform::SetRegistryIssueSink([](const platform::RegistryIssue& issue) {
        std::cerr << "warning: " << issue.source << ":" << issue.line << ": " << issue.text << "\n";
    });
    if (options.command == "add") {
        return Add(options);
    }
    if (options.command == "query") {
        return Query(options);
    }
    if (options.command == "delete") {
        return Delete(options);
    }
    Usage();
    return 1;
}
