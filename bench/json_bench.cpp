// Parse and print speed of our JSON library on the daemon's typical messages, next to two
// widely used libraries on the same texts: a discovery answer of 100 installations and a
// 64 KiB worker envelope carrying one long escaped string.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "base/json/json.h"

namespace {

using JSON::CreateNumber;
using JSON::CreateString;

// DiscoveryAnswer is the answer of an installation discovery listing 100 installations,
// each with its applications; about 70 KB of compact text.
std::string DiscoveryAnswer() {
    JSON::JSONDocument doc;
    doc.NewObject();
    doc.Set("returnCode", CreateNumber(std::int32_t{0}));
    doc.Set("commentary", CreateString("Success"));
    doc.Set("content", JSON::CreateObject());
    doc.Set("installs", JSON::CreateArray());
    for (int i = 0; i < 100; ++i) {
        const std::string n = std::to_string(i);
        const std::string root =
            "C:\\Program Files\\Vantaro\\R20" + std::to_string(20 + i % 7) + "x_" + n;
        doc.Append(JSON::CreateObject());
        doc.Set("id", CreateString("{6F1A2B3C-" + n + "-4D5E-8F90-A1B2C3D4E5F6}"));
        doc.Set("level", CreateString("R20" + std::to_string(20 + i % 7) + "x"));
        doc.Set("type", CreateString(i % 3 ? "client" : "server"));
        doc.Set("path", CreateString(root));
        doc.Set("osDir", CreateString("win_b64"));
        doc.Set("version", CreateString("7." + std::to_string(i % 5) + ".1." + n));
        doc.Set("hotfix", CreateString(i % 4 ? "HF" + std::to_string(i % 11) : ""));
        doc.Set("language", CreateString(i % 2 ? "English"
                                               : "Fran\xc3\xa7"
                                                 "ais"));
        doc.Set("isDefault", JSON::CreateBool(i == 0));
        doc.Set("isRunning", JSON::CreateBool(i % 9 == 0));
        doc.Set("sizeMB", CreateNumber(std::int64_t{1024} * (i + 3)));
        doc.Set("installDate", CreateString("2026-0" + std::to_string(1 + i % 9) + "-15T10:2" +
                                            std::to_string(i % 10) + ":00Z"));
        doc.Set("envFile", CreateString(root + "\\env\\Env_" + n + ".txt"));
        doc.Set("rating", CreateNumber("4." + std::to_string(i % 10)));
        doc.Set("apps", JSON::CreateArray());
        for (int a = 0; a < 2; ++a) {
            const std::string app = "App" + std::to_string(a);
            doc.Append(JSON::CreateObject());
            doc.Set("name", CreateString(app + " \"Designer\" " + n));
            doc.Set("exe", CreateString(root + "\\win_b64\\code\\bin\\" + app + ".exe"));
            doc.Set("visible", JSON::CreateTrue());
            doc.End();
        }
        doc.End();  // apps
        doc.Set("media", JSON::CreateNull());
        doc.End();
    }
    return doc.ToString();
}

// WorkerEnvelope is a 64 KiB worker message: a few members and one long string value with
// quotes, backslashes and line breaks in it.
std::string WorkerEnvelope() {
    JSON::JSONDocument doc;
    doc.NewObject();
    doc.Set("id", CreateString("1842"));
    doc.Set("operation", CreateString("writeFile"));
    doc.Set("userSession", CreateNumber(std::int32_t{2}));
    std::string payload;
    // Sized so that the whole message is just under 64 KiB once escaped.
    for (int line = 0; payload.size() < 57000; ++line) {
        payload += "SET \"VAR_" + std::to_string(line) + "\"=C:\\Users\\someone\\AppData\\Local\\" +
                   "Vantaro\\cache\\" + std::to_string(line * 7919) + "\tok\r\n";
    }
    doc.Set("content", CreateString(payload));
    std::string text = doc.ToString();
    return text;
}

const std::string& Text(int which) {
    static const std::string discovery = DiscoveryAnswer();
    static const std::string envelope = WorkerEnvelope();
    return which == 0 ? discovery : envelope;
}

void SetLabel(benchmark::State& state, int which) {
    const std::string kb = std::to_string(Text(which).size() / 1024) + " KiB";
    state.SetLabel((which == 0 ? "discovery " : "envelope ") + kb);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(Text(which).size()));
}

// ---- ours ----

void BM_Parse_Ours(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& text = Text(which);
    for (auto _ : state) {
        JSON::JSONDocument doc;
        if (doc.Parse(text) != 0) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(doc.Root());
    }
    SetLabel(state, which);
}

void BM_Print_Ours(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    JSON::JSONDocument doc;
    doc.Parse(Text(which));
    std::string out;
    for (auto _ : state) {
        doc.ToString(out);
        benchmark::DoNotOptimize(out.data());
    }
    SetLabel(state, which);
}

// ---- nlohmann ordered_json (keeps member order, like ours) ----

void BM_Parse_Nlohmann(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& text = Text(which);
    for (auto _ : state) {
        auto value = nlohmann::ordered_json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    SetLabel(state, which);
}

void BM_Print_Nlohmann(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const auto value = nlohmann::ordered_json::parse(Text(which));
    for (auto _ : state) {
        std::string out = value.dump();
        benchmark::DoNotOptimize(out.data());
    }
    SetLabel(state, which);
}

// ---- RapidJSON ----

void BM_Parse_RapidJSON(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& text = Text(which);
    for (auto _ : state) {
        rapidjson::Document value;
        value.Parse(text.data(), text.size());
        if (value.HasParseError()) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(&value);
    }
    SetLabel(state, which);
}

void BM_Print_RapidJSON(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    rapidjson::Document value;
    value.Parse(Text(which).data(), Text(which).size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    SetLabel(state, which);
}

// Argument 0: the discovery answer; 1: the worker envelope.
BENCHMARK(BM_Parse_Ours)->Arg(0)->Arg(1);
BENCHMARK(BM_Parse_Nlohmann)->Arg(0)->Arg(1);
BENCHMARK(BM_Parse_RapidJSON)->Arg(0)->Arg(1);
BENCHMARK(BM_Print_Ours)->Arg(0)->Arg(1);
BENCHMARK(BM_Print_Nlohmann)->Arg(0)->Arg(1);
BENCHMARK(BM_Print_RapidJSON)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
