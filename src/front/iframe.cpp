#include "front/iframe.h"

#include <vector>

#include "base/config.h"
#include "base/logger.h"
#include "base/toolbox.h"

namespace {

// The page speaks to its parent with JSON texts through postMessage (texts rather than
// objects, so that every browser that embeds it can read them) and to the service with
// query-style bodies through XMLHttpRequest. Its script stays plain ES5.
constexpr const char* kDefaultPage = R"html(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<meta http-equiv="X-UA-Compatible" content="IE=edge">
<title>Communication Frame</title>
</head>
<body>
Communication Frame V0.1
<script type="text/javascript">
(function () {
    "use strict";

    // Return code of a request made while no single user session is active: the
    // launcher's protocol handler registers the page id for the user, then we try again.
    var NO_SINGLE_ACTIVE_SESSION = 106;
    var MESSAGE_TRIES = 3;
    var REGISTER_SCHEME = "qvlaunch://";
    var COMMUNICATION_ERROR = {
        "returnCode": null,
        "commentary": "iframe Communication Error",
        "content": null
    };

    // Page id: a random version-4 UUID; the time is mixed in for browsers whose
    // Math.random is weak.
    function makePageId() {
        var time = new Date().getTime();
        return "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".replace(/[xy]/g, function (c) {
            var r = (time + Math.random() * 16) % 16 | 0;
            time = Math.floor(time / 16);
            return (c === "x" ? r : (r & 0x3 | 0x8)).toString(16);
        });
    }

    function decode(text) {
        try {
            return decodeURIComponent(text);
        } catch (e) {
            return text;
        }
    }

    // queryParam returns the decoded value of a parameter of our own URL, or null.
    function queryParam(name) {
        var pairs = window.location.search.substring(1).split("&");
        for (var i = 0; i < pairs.length; i++) {
            var eq = pairs[i].indexOf("=");
            var key = eq < 0 ? pairs[i] : pairs[i].substring(0, eq);
            if (decode(key) === name) {
                return eq < 0 ? "" : decode(pairs[i].substring(eq + 1).replace(/\+/g, " "));
            }
        }
        return null;
    }

    // The embedding page names its origin in our hash, after the first ":".
    function parentOrigin() {
        var hash = decode(window.location.hash);
        var colon = hash.indexOf(":");
        return colon < 0 ? "" : hash.substring(colon + 1);
    }

    var messageId = queryParam("id");
    var pageId = queryParam("zorvidId") || makePageId();
    var origin = parentOrigin();
    var baseUrl = window.location.protocol + "//" + window.location.hostname +
        (window.location.port ? ":" + window.location.port : "");
    var registeredIds = {};

    function parseAnswer(text) {
        try {
            var answer = JSON.parse(text);
            return (answer !== null && typeof answer === "object") ? answer : null;
        } catch (e) {
            return null;
        }
    }

    // post sends a query-style body and hands the parsed answer (null when the answer is
    // not a JSON object) to done once the request has finished.
    function post(url, body, done) {
        var request = new XMLHttpRequest();
        request.open("POST", url, true);
        request.setRequestHeader("Content-Type", "application/x-www-form-urlencoded");
        request.onreadystatechange = function () {
            if (request.readyState === 4 && (request.status === 200 || request.status === 0)) {
                done(parseAnswer(request.responseText));
            }
        };
        request.send(body);
    }

    // reply addresses the answer to the declared origin only: without one, nothing is sent,
    // since answers may carry the request's own arguments.
    function reply(id, data) {
        if (!origin) {
            return;
        }
        window.parent.postMessage(JSON.stringify({"id": id, "data": data}), origin);
    }

    // registerPageId follows the launcher's custom URL once per page id, through a hidden
    // link, so that the launcher ties this page id to the user's session.
    function registerPageId() {
        if (registeredIds[pageId]) {
            return;
        }
        registeredIds[pageId] = true;
        var link = document.createElement("a");
        link.href = REGISTER_SCHEME + pageId;
        link.style.display = "none";
        document.body.appendChild(link);
        link.click();
        document.body.removeChild(link);
    }

    // callback posts the answer to the parent, unless no single session was active and
    // tries remain: then the page id is registered and the request is made again after a
    // wait that grows as the tries run out.
    function callback(id, answer, triesLeft, url, body) {
        triesLeft--;
        if (answer && answer.returnCode === NO_SINGLE_ACTIVE_SESSION && triesLeft > 0) {
            registerPageId();
            window.setTimeout(function () {
                post(url, body, function (next) {
                    callback(id, next, triesLeft, url, body);
                });
            }, 5000 / (1 + triesLeft));
            return;
        }
        reply(id, answer || COMMUNICATION_ERROR);
    }

    // readMessage gives the {id, data} request of a message, or null when it is malformed.
    function readMessage(data) {
        var message = data;
        if (typeof data === "string") {
            try {
                message = JSON.parse(data);
            } catch (e) {
                return null;
            }
        }
        if (message === null || typeof message !== "object" || !("id" in message) ||
                typeof message.data !== "string") {
            return null;
        }
        return message;
    }

    // buildBody turns the "data" URL of a message into the target URL and the request body.
    function buildBody(data) {
        var question = data.indexOf("?");
        var target = question < 0 ? data : data.substring(0, question);
        var body = "zorvid=" + origin;
        if (question >= 0) {
            body += "&" + data.substring(question + 1);
        }
        if (data.indexOf("?zorvidId=") < 0 && data.indexOf("&zorvidId=") < 0) {
            body = "zorvidId=" + pageId + "&" + body;
        }
        return {"url": target, "body": body};
    }

    function onMessage(event) {
        if (event.source !== window.parent) {
            return;
        }
        var message = readMessage(event.data);
        if (message === null) {
            reply("error", COMMUNICATION_ERROR);
            return;
        }
        var request = buildBody(message.data);
        post(request.url, request.body, function (answer) {
            callback(message.id, answer, MESSAGE_TRIES, request.url, request.body);
        });
    }

    if (window.addEventListener) {
        window.addEventListener("message", onMessage, false);
    } else {
        window.attachEvent("onmessage", onMessage);
    }

    // Announce the service's levels to the parent as soon as the frame is loaded.
    var versionBody = "zorvidId=" + pageId + "&" + "zorvid=" + origin;
    post(baseUrl + "/getVersion", versionBody, function (answer) {
        callback(messageId, answer ? answer.content : null, 0, baseUrl + "/getVersion",
                 versionBody);
    });
})();
</script>
</body>
</html>
)html";

// ReadPageFile gathers the lines of the configured page file, each ended by CR-LF; empty when
// no file is configured or it cannot be read.
std::string ReadPageFile() {
    std::string path;
    if (!Config::GetVariable(ConfigId::IFRAME_PATH, path)) {
        return {};
    }
    if (!ToolBox::PathExists(path)) {
        Logger::Debug(
            "[ToolBox::GetIframe] Config varaibles to point out a specific iframe that does not "
            "exist : " +
            path);
        return {};
    }
    Logger::Debug("[ToolBox::GetIframe] Config varaibles to point out a specific iframe to : " +
                  path);
    std::vector<std::string> lines;
    ToolBox::File::ReadLines(path, lines);
    std::string page;
    for (const std::string& line : lines) {
        page += line;
        page += "\r\n";
    }
    return page;
}

}  // namespace

namespace ToolBox {

const std::string& DefaultIframe() {
    static const std::string page(kDefaultPage);
    return page;
}

std::string BuildIframe() {
    std::string page = ReadPageFile();
    if (page.empty()) {
        page = DefaultIframe();
    }
    return page;
}

std::string GetIframe() {
    bool filledHere = false;
    static const std::string cache = [&filledHere] {
        filledHere = true;
        return BuildIframe();
    }();
    if (!filledHere) {
        Logger::Debug("[ToolBox::GetIframe]Iframe already buffered ! use the  current buffer");
    }
    return cache;
}

}  // namespace ToolBox
