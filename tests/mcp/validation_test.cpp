// The argument rules the server enforces before any bridge contact.
#include "common/json.h"
#include "mcp/catalogue.h"
#include "mcp/server_error.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using json::Json;

// The message validation gives, or "" when the arguments pass.
std::string check(const std::string& tool, const std::string& arguments) {
    try {
        VantorelMCP::validateArguments("vantorel_" + tool, Json::parse(arguments));
    } catch (const MCPServerError& error) {
        EXPECT_EQ(error.kind(), MCPServerErrorCase::invalidArguments);
        return error.description();
    }
    return "";
}

const std::string kConfirm = "Explicit user confirmation is required. Ask the user, then call again with confirm=true.";
const std::string kJob = "master_0123456789abcdef0123456789abcdef";

// Names, schemas and hints of the catalogue are checked over the protocol by
// mcp_client.test.mjs; here, that validation knows every catalogued tool.
TEST(Catalogue, EveryToolPassesTheNameCheckOfTheValidation) {
    ASSERT_EQ(VantorelMCP::tools().size(), 28u);
    for (const auto& tool : VantorelMCP::tools()) {
        try {
            VantorelMCP::validateArguments(tool["name"].get<std::string>(), Json::object());
        } catch (const MCPServerError& error) {
            EXPECT_EQ(std::string(error.description()).find("Unknown"), std::string::npos) << tool["name"];
        }
    }
}

TEST(Validation, ReadingToolsTakeNoArguments) {
    for (auto tool : {"get_session", "get_context", "analyze_project", "analyze_mix_preparation", "find_key",
                      "listen_selected_clip"}) {
        EXPECT_EQ(check(tool, "{}"), "") << tool;
        EXPECT_EQ(check(tool, R"({"x":null})"), "This tool does not accept arguments.") << tool;
    }
    EXPECT_EQ(check("missing_tool", "{}"), "Unknown Vantorel tool: vantorel_missing_tool");
    EXPECT_EQ(check("", "{}"), "Unknown Vantorel tool: vantorel_");
}

TEST(Validation, ConfirmationComesFirstAndMustBeTheBooleanTrue) {
    EXPECT_EQ(check("set_tempo", R"({"tempo":1000,"expectedRevision":-1})"), kConfirm);
    EXPECT_EQ(check("set_tempo", R"({"confirm":"true","tempo":120,"expectedRevision":1})"), kConfirm);
    EXPECT_EQ(check("play", R"({"confirm":1})"), kConfirm);
    EXPECT_EQ(check("stop", R"({"confirm":false})"), kConfirm);
    EXPECT_EQ(check("undo_last_organization", R"({"confirm":true})"), "");
    EXPECT_EQ(check("cancel_master_listen", R"({"jobId":")" + kJob + R"("})"), kConfirm);
}

TEST(Validation, NumbersAndIntegers) {
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":39.9,"expectedRevision":1})"),
              "tempo must be between 40 and 240 BPM.");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":240,"expectedRevision":1})"), "");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":"120","expectedRevision":1})"), "tempo must be a number.");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":120,"expectedRevision":3.5})"),
              "expectedRevision must be a non-negative integer.");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":120,"expectedRevision":true})"),
              "expectedRevision must be a number.");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":120})"), "expectedRevision must be a number.");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":120,"expectedRevision":3.0})"), "");
    EXPECT_EQ(check("set_tempo", R"({"confirm":true,"tempo":120,"expectedRevision":-1})"),
              "expectedRevision must be a non-negative integer.");
    // Beyond what any revision can be: refused rather than wrapped around.
    EXPECT_EQ(check("select_track", R"({"confirm":true,"trackIndex":18446744073709551615,"expectedRevision":1})"),
              "trackIndex must be a non-negative integer.");
    EXPECT_EQ(check("select_track", R"({"confirm":true,"trackIndex":1e300,"expectedRevision":1})"),
              "trackIndex must be a non-negative integer.");
    EXPECT_EQ(check("set_track_volume", R"({"confirm":true,"trackIndex":0,"displayDb":6.01,"expectedRevision":1})"),
              "displayDb must be between -70 and +6 dB.");
    EXPECT_EQ(check("set_send_level",
                    R"({"confirm":true,"trackIndex":0,"sendIndex":1,"displayDb":0.5,"expectedRevision":1})"),
              "displayDb must be between -70 and 0 dB.");
    EXPECT_EQ(check("set_send_level",
                    R"({"confirm":true,"trackIndex":0,"sendIndex":1,"displayDb":-70,"expectedRevision":1})"),
              "");
    EXPECT_EQ(check("set_device_parameter",
                    R"({"confirm":true,"trackIndex":0,"deviceIndex":0,"parameterIndex":2,"value":-5.5,"expectedRevision":1})"),
              "");
    EXPECT_EQ(check("get_device_parameters", R"({"trackIndex":0})"), "deviceIndex must be a number.");
}

TEST(Validation, StringsAreTrimmedAndCountedInCharacters) {
    EXPECT_EQ(check("rename_track", R"({"confirm":true,"trackIndex":1,"name":"   ","expectedRevision":1})"),
              "name must contain 1 to 96 characters.");
    EXPECT_EQ(check("rename_track", R"({"confirm":true,"trackIndex":1,"name":7,"expectedRevision":1})"),
              "name must be a string.");
    std::string accents;
    for (int i = 0; i < 96; ++i) accents += "é";  // 192 bytes, 96 characters
    EXPECT_EQ(check("rename_track", R"({"confirm":true,"trackIndex":1,"name":"  )" + accents + R"(\n","expectedRevision":1})"),
              "");
    EXPECT_EQ(check("rename_track", R"({"confirm":true,"trackIndex":1,"name":")" + accents + R"(x","expectedRevision":1})"),
              "name must contain 1 to 96 characters.");
    EXPECT_EQ(check("set_track_state",
                    R"({"confirm":true,"trackIndex":1,"field":" solo ","enabled":true,"expectedRevision":1})"),
              "");
    EXPECT_EQ(check("set_track_state",
                    R"({"confirm":true,"trackIndex":1,"field":"Mute","enabled":true,"expectedRevision":1})"),
              "field must be mute, solo or arm, and enabled must be boolean.");
    EXPECT_EQ(check("set_track_state", R"({"confirm":true,"trackIndex":1,"field":"arm","enabled":1,"expectedRevision":1})"),
              "field must be mute, solo or arm, and enabled must be boolean.");
    EXPECT_EQ(check("create_audio_track", R"({"confirm":true,"expectedRevision":2,"index":1.5})"),
              "index must be a non-negative integer.");
    EXPECT_EQ(check("create_midi_track", R"({"confirm":true,"expectedRevision":2,"name":""})"),
              "name must contain 1 to 96 characters.");
}

TEST(Validation, MidiClipsAndNotes) {
    const std::string base = R"("confirm":true,"trackIndex":2,"expectedRevision":4,"startTime":0)";
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":0})"), "Invalid MIDI clip position or length.");
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":4096.5})"), "Invalid MIDI clip position or length.");
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":4096,"notes":[]})"), "");
    EXPECT_EQ(check("create_midi_clip", R"({"confirm":true,"trackIndex":2,"expectedRevision":4,"startTime":-1,"length":4})"),
              "Invalid MIDI clip position or length.");
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":4,"notes":{}})"), "notes must be an array.");
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":4,"notes":[{},3]})"), "notes must be an array.");
    std::string many = "[";
    for (int i = 0; i < 513; ++i) many += std::string(i ? "," : "") + R"({"pitch":60})";
    many += "]";
    EXPECT_EQ(check("create_midi_clip", "{" + base + R"(,"length":4,"notes":)" + many + "}"),
              "A MIDI clip can contain at most 512 notes per call.");

    const std::string replace = R"("confirm":true,"trackIndex":2,"expectedRevision":4)";
    EXPECT_EQ(check("replace_selected_midi_clip", "{" + replace + R"(,"notes":[]})"),
              "notes must contain between 1 and 512 MIDI notes.");
    EXPECT_EQ(check("replace_selected_midi_clip", "{" + replace + "}"), "notes must contain between 1 and 512 MIDI notes.");
    EXPECT_EQ(check("replace_selected_midi_clip", "{" + replace + R"(,"notes":)" + many + "}"),
              "notes must contain between 1 and 512 MIDI notes.");
    // The note objects themselves are the bridge's to judge.
    EXPECT_EQ(check("replace_selected_midi_clip", "{" + replace + R"(,"notes":[{"pitch":"C3"}]})"), "");
}

TEST(Validation, SamplesMasterListenAndIds) {
    EXPECT_EQ(check("search_samples", "{}"), "");
    EXPECT_EQ(check("search_samples", R"({"limit":0})"), "limit must be between 1 and 40.");
    EXPECT_EQ(check("search_samples", R"({"limit":41})"), "limit must be between 1 and 40.");
    EXPECT_EQ(check("search_samples", R"({"limit":40,"role":"kick","query":"tight kick"})"), "");
    EXPECT_EQ(check("search_samples", R"({"role":"Kick"})"), "role is not supported.");
    EXPECT_EQ(check("search_samples", R"({"role":5})"), "");
    EXPECT_EQ(check("search_samples", R"({"query":""})"), "query must contain 1 to 200 characters.");

    const std::string sample = R"("confirm":true,"startTime":0,"expectedRevision":1)";
    EXPECT_EQ(check("import_sample", "{" + sample + R"(,"sampleId":"0123456789abcdef01234567"})"), "");
    EXPECT_EQ(check("import_sample", "{" + sample + R"(,"sampleId":" 0123456789abcdef01234567 "})"), "");
    EXPECT_EQ(check("import_sample", "{" + sample + R"(,"sampleId":"0123456789ABCDEF01234567"})"),
              "sampleId must come from vantorel_search_samples.");
    EXPECT_EQ(check("import_sample", "{" + sample + R"(,"sampleId":"0123456789abcdef012345678"})"),
              "sampleId must contain 1 to 24 characters.");
    EXPECT_EQ(check("import_sample", R"({"confirm":true,"startTime":-2,"expectedRevision":1,"sampleId":"0123456789abcdef01234567"})"),
              "startTime must be zero or greater.");

    const std::string start = R"("confirm":true,"startTime":0,"expectedRevision":1)";
    EXPECT_EQ(check("start_master_listen", "{" + start + R"(,"bars":0})"), "bars must be between 1 and 32.");
    EXPECT_EQ(check("start_master_listen", "{" + start + R"(,"bars":33})"), "bars must be between 1 and 32.");
    EXPECT_EQ(check("start_master_listen", "{" + start + R"(,"bars":32})"), "");
    EXPECT_EQ(check("start_master_listen", R"({"confirm":true,"bars":4,"startTime":-0.5,"expectedRevision":1})"),
              "startTime must be zero or greater.");

    const std::string invalidJob = "jobId is not a valid Vantorel master-listen id.";
    EXPECT_EQ(check("get_master_listen", R"({"jobId":")" + kJob + R"("})"), "");
    EXPECT_EQ(check("get_master_listen", R"({"jobId":"  )" + kJob + R"(\n"})"), "");
    EXPECT_EQ(check("get_master_listen", R"({"jobId":"master_0123456789ABCDEF0123456789ABCDEF"})"), invalidJob);
    EXPECT_EQ(check("get_master_listen", R"({"jobId":")" + kJob + R"(0"})"), invalidJob);
    EXPECT_EQ(check("get_master_listen", R"({"jobId":")" + kJob + R"(\nmaster_x"})"), invalidJob);
    EXPECT_EQ(check("get_master_listen", R"({"jobId":")" + std::string(81, 'a') + R"("})"),
              "jobId must contain 1 to 80 characters.");
    EXPECT_EQ(check("get_master_listen", "{}"), "jobId must be a string.");
}

}  // namespace
}  // namespace vantorel
