// LaunchDaemonCore::HandleRequest answers one request of the local HTTP server: the transport
// rules, the request identity and protocol level, the argument, and the call of the main
// function that the argument names. Every refusal is an answer with a return code.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <string>

#include "base/json/json.h"

class ZorvidRequestInfo;

class LaunchDaemonCore {
  public:
    // How a main function receives the "params" object of the argument.
    enum class ParamsRule {
        AsReceived,             // the object itself
        WithCreateShortcut,     // a copy with "createShortcut" set to true
        WithoutCreateShortcut,  // a copy with "createShortcut" set to false
    };

    // MainFunction runs one main function and returns its return code. result starts empty;
    // only main functions that answer with a document fill it.
    using MainFunction =
        std::function<std::int32_t(const ZorvidRequestInfo& request, const JSON::JSONItem& params,
                                   JSON::JSONDocument& result)>;

    struct MainFunctionEntry {
        ParamsRule params = ParamsRule::AsReceived;
        bool answersWithResult = false;  // on success the content is the result's root
        MainFunction call;
    };

    // FunctionTable maps the "functionName" of an argument to its main function.
    using FunctionTable = std::map<std::string, MainFunctionEntry, std::less<>>;

    LaunchDaemonCore() = delete;

    // MainFunctions is the table that pages can call.
    static const FunctionTable& MainFunctions();

    // HandleRequest returns the answer text: the communication page for "iframe", a JSON
    // answer object for everything else. urlPath has no leading "/" and no query;
    // optionString (the URL's query) is only logged. Function requests are dispatched
    // through MainFunctions(). stop is stopped once the client has gone; it goes with the
    // request's identity, so that waits on the client's behalf end.
    static std::string HandleRequest(const std::string& urlPath, const std::string& optionString,
                                     const std::string& reqBody, const std::string& reqVerb,
                                     bool isHttps, std::stop_token stop = {});

    // This HandleRequest dispatches function requests through the given table instead.
    static std::string HandleRequest(const std::string& urlPath, const std::string& optionString,
                                     const std::string& reqBody, const std::string& reqVerb,
                                     bool isHttps, const FunctionTable& functions,
                                     std::stop_token stop = {});
};
