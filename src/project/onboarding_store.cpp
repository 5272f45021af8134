#include "project/onboarding_store.h"

#include "common/json.h"
#include "common/paths.h"
#include "common/text.h"
#include "project/json_fields.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>

namespace vantorel {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::system_clock;

constexpr std::size_t kChoiceLength = 24;
constexpr std::size_t kShortTextLength = 80;
constexpr std::size_t kReferencesLength = 240;
constexpr std::size_t kProjectNameLength = 200;

const std::array<std::string_view, 4> kLevels = {"débutant", "intermédiaire", "avancé", "pro"};
const std::array<std::string_view, 3> kTargetFormats = {"club", "streaming", "les deux"};
const std::array<std::string_view, 3> kAnswerStyles = {"direct", "expliqué", "approfondi"};

// A page may send "avancé" with a combining accent; it is the same answer, so
// choices are compared and stored in composed form.
std::string composed(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString value = icu::UnicodeString::fromUTF8(text);
    icu::UnicodeString normal = nfc->normalize(value, status);
    if (U_FAILURE(status)) return text;
    std::string out;
    normal.toUTF8String(out);
    return out;
}

std::string field(const Json& values, std::string_view key, std::size_t length) {
    auto value = json::text(values, key);
    if (!value) return "";
    return text::graphemePrefix(text::trim(*value), length);
}

std::string choice(const Json& values, std::string_view key) {
    return composed(text::lower(field(values, key, kChoiceLength)));
}

template <std::size_t N>
bool allowed(const std::string& value, const std::array<std::string_view, N>& options) {
    return std::find(options.begin(), options.end(), value) != options.end();
}

Json profileJson(const VantorelProducerProfile& p) {
    return {{"level", p.level},
            {"genre", p.genre},
            {"references", p.references},
            {"targetFormat", p.targetFormat},
            {"mainBlocker", p.mainBlocker},
            {"answerStyle", p.answerStyle},
            {"updatedAt", project::formatDate(p.updatedAt)}};
}

VantorelProducerProfile emptyProfile() { return VantorelProducerProfile{"", "", "", "", "", "", Clock::now()}; }

}  // namespace

bool VantorelProducerProfile::isComplete() const {
    return !level.empty() && !genre.empty() && !targetFormat.empty() && !mainBlocker.empty() && !answerStyle.empty();
}

Json VantorelOnboardingFile::toJson() const {
    Json projectsJson = Json::object();
    for (const auto& [key, r] : projects) {
        Json record = {{"project", r.project},
                       {"organized", r.organized},
                       {"completed", r.completed},
                       {"updatedAt", project::formatDate(r.updatedAt)}};
        if (r.validatedStage) record["validatedStage"] = *r.validatedStage;
        projectsJson[key] = std::move(record);
    }
    return {{"profile", profileJson(profile)}, {"projects", std::move(projectsJson)}};
}

std::optional<VantorelOnboardingFile> VantorelOnboardingFile::fromJson(const Json& value) {
    using namespace project;
    try {
        VantorelOnboardingFile file;
        const Json& p = requireObject(value, "profile");
        file.profile = {requireText(p, "level"),        requireText(p, "genre"),       requireText(p, "references"),
                        requireText(p, "targetFormat"), requireText(p, "mainBlocker"), requireText(p, "answerStyle"),
                        requireDate(p, "updatedAt")};
        for (const auto& [key, r] : requireObject(value, "projects").items()) {
            if (!r.is_object()) return std::nullopt;
            VantorelProjectOnboarding record;
            record.project = requireText(r, "project");
            record.organized = requireFlag(r, "organized");
            if (auto stage = optionalInteger(r, "validatedStage")) record.validatedStage = static_cast<int>(*stage);
            record.completed = requireFlag(r, "completed");
            record.updatedAt = requireDate(r, "updatedAt");
            file.projects.emplace(key, std::move(record));
        }
        return file;
    } catch (const DecodeFailure&) {
        return std::nullopt;
    }
}

VantorelOnboardingStore::VantorelOnboardingStore(std::optional<std::filesystem::path> rootFolder)
    : file_(rootFolder.value_or(paths::appData()) / fileName) {
    std::optional<VantorelOnboardingFile> loaded;
    if (auto content = project::readJsonFile(file_)) loaded = VantorelOnboardingFile::fromJson(*content);
    if (loaded) {
        contents_ = std::move(*loaded);
    } else {
        contents_.profile = emptyProfile();
    }
}

std::string VantorelOnboardingStore::key(std::string_view project) { return text::lower(text::trim(project)); }

void VantorelOnboardingStore::saveProfile(const Json& values) {
    VantorelProducerProfile profile;
    profile.level = choice(values, "level");
    profile.genre = field(values, "genre", kShortTextLength);
    profile.references = field(values, "references", kReferencesLength);
    profile.targetFormat = choice(values, "targetFormat");
    profile.mainBlocker = field(values, "mainBlocker", kShortTextLength);
    profile.answerStyle = choice(values, "answerStyle");
    if (!allowed(profile.level, kLevels) || !allowed(profile.targetFormat, kTargetFormats) ||
        !allowed(profile.answerStyle, kAnswerStyles) || profile.genre.empty() || profile.mainBlocker.empty()) {
        throw VantorelOnboardingError(VantorelOnboardingErrorCase::invalidProfile);
    }
    profile.updatedAt = Clock::now();
    contents_.profile = std::move(profile);
    save();
}

VantorelProjectOnboarding VantorelOnboardingStore::record(std::string_view project) const {
    const std::string k = key(project);
    const auto& records = memoryOnlyKeys_.contains(k) ? memoryOnly_ : contents_.projects;
    if (auto found = records.find(k); found != records.end()) return found->second;
    return {text::graphemePrefix(project, kProjectNameLength), false, std::nullopt, false, Clock::now()};
}

void VantorelOnboardingStore::store(std::string_view project, VantorelProjectOnboarding updated) {
    updated.updatedAt = Clock::now();
    std::string k = key(project);
    if (memoryOnlyKeys_.contains(k)) {
        memoryOnly_[std::move(k)] = std::move(updated);
        return;
    }
    contents_.projects[std::move(k)] = std::move(updated);
    save();
}

void VantorelOnboardingStore::keepInMemoryOnly(std::string_view project) { memoryOnlyKeys_.insert(key(project)); }

void VantorelOnboardingStore::markOrganized(std::string_view project) {
    VantorelProjectOnboarding r = record(project);
    r.organized = true;
    store(project, std::move(r));
}

void VantorelOnboardingStore::validateStage(std::string_view project, int stage) {
    if (stage < 1 || stage > 6) throw VantorelOnboardingError(VantorelOnboardingErrorCase::invalidStage);
    VantorelProjectOnboarding r = record(project);
    r.validatedStage = stage;
    store(project, std::move(r));
}

void VantorelOnboardingStore::complete(std::string_view project) {
    VantorelProjectOnboarding r = record(project);
    r.completed = contents_.profile.isComplete() && r.organized && r.validatedStage.has_value();
    store(project, std::move(r));
}

void VantorelOnboardingStore::reset() {
    contents_ = VantorelOnboardingFile{emptyProfile(), {}};
    memoryOnly_.clear();
    save();
}

Json VantorelOnboardingStore::dictionary(std::string_view project, std::optional<int> detectedStage) const {
    const VantorelProducerProfile& p = contents_.profile;
    VantorelProjectOnboarding r = record(project);
    Json profile = {{"level", p.level},
                    {"genre", p.genre},
                    {"references", p.references},
                    {"targetFormat", p.targetFormat},
                    {"mainBlocker", p.mainBlocker},
                    {"answerStyle", p.answerStyle},
                    {"complete", p.isComplete()}};
    return {{"project", std::string(project)},
            {"profile", std::move(profile)},
            {"organized", r.organized},
            {"detectedStage", detectedStage ? Json(*detectedStage) : Json(nullptr)},
            {"validatedStage", r.validatedStage ? Json(*r.validatedStage) : Json(nullptr)},
            {"completed", r.completed && p.isComplete() && r.organized && r.validatedStage.has_value()}};
}

void VantorelOnboardingStore::save() const {
    saveThrough(queue_, file_, contents_.toJson());
}

}  // namespace vantorel
