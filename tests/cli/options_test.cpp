#include "cli/command.h"
#include "support/required.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantorel::cli {
namespace {

const std::vector<OptionSpec> kSpecs = {
    {"--time", "TEMPS", "position de lecture"},
    {"--selected-midi", "", "piste MIDI"},
    {"--count", "N", "nombre"},
};

// What the parser made of argv, in one line: the declared options that are
// present, then the positional arguments; or the usage error; or "help".
std::string parsed(const Args& args) {
    try {
        Options options(args, kSpecs);
        if (options.helpRequested()) return "help";
        std::string out;
        for (const auto& spec : kSpecs) {
            if (!options.has(spec.name)) continue;
            out += spec.name + "=" + options.value(spec.name).value_or("(flag)") + " ";
        }
        out += "|";
        for (const auto& argument : options.positional()) out += " " + argument;
        return out;
    } catch (const UsageError& error) {
        return std::string("usage: ") + error.what();
    }
}

TEST(CliOptions, ArgvToValues) {
    struct Row {
        Args argv;
        std::string expected;
    } rows[] = {
        {{}, "|"},
        {{"demande", "--time", "1.5"}, "--time=1.5 | demande"},
        {{"--time=2", "a", "b"}, "--time=2 | a b"},
        {{"--time="}, "--time= |"},
        {{"--selected-midi", "x"}, "--selected-midi=(flag) | x"},
        {{"--count", "--selected-midi"}, "--count=--selected-midi |"},  // a value is taken as it comes
        {{"--time", "1", "--time", "2"}, "--time=2 |"},
        {{"--", "--time", "-", "--"}, "| --time - --"},
        {{"-x", "--"}, "| -x"},
        {{"--help", "--unknown"}, "help"},
        {{"--", "--help"}, "| --help"},
        {{"--unknown"}, "usage: option inconnue : --unknown"},
        {{"--time"}, "usage: valeur manquante pour --time"},
        {{"--selected-midi=oui"}, "usage: l’option --selected-midi ne prend pas de valeur"},
        {{"--unknown", "--help"}, "usage: option inconnue : --unknown"},
    };
    for (const auto& row : rows) {
        std::string label;
        for (const auto& a : row.argv) label += "«" + a + "» ";
        SCOPED_TRACE(label);
        EXPECT_EQ(parsed(row.argv), row.expected);
    }
}

std::string parsedNumberError(const Options& options) {
    try {
        (void)options.number("--time");
        return "no error";
    } catch (const UsageError& error) {
        return error.what();
    }
}

// Numbers on the command line are read with a point whatever the locale: the
// app and the CLI run under the producer's French LC_NUMERIC.
TEST(CliOptions, NumbersIgnoreTheLocale) {
    testing::FrenchLocale french;
    VANTOREL_REQUIRE(french.active(), "the fr_FR.UTF-8 locale is not generated");
    struct Row {
        const char* text;
        std::optional<double> number;    // nullopt: a usage error
        std::optional<long long> integer;
    } rows[] = {
        {"124.5", 124.5, std::nullopt},
        {"-3", -3, -3},
        {"+2", 2, 2},
        {"1e3", 1000, std::nullopt},
        {"124,5", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"+-2", std::nullopt, std::nullopt},
        {"inf", std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt},
        {"1e400", std::nullopt, std::nullopt},
        {"99999999999999999999", 1e20, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        Options options({"--time", row.text, "--count", row.text}, kSpecs);
        if (row.number) {
            EXPECT_EQ(options.number("--time"), row.number);
        } else {
            EXPECT_THROW(options.number("--time"), UsageError);
        }
        if (row.integer) {
            EXPECT_EQ(options.integer("--count"), row.integer);
        } else {
            EXPECT_THROW(options.integer("--count"), UsageError);
        }
    }
    Options comma({"--time", "124,5"}, kSpecs);
    EXPECT_EQ(parsedNumberError(comma), "nombre attendu pour --time : 124,5");
}

TEST(CliOptions, AnUndeclaredLookupIsAProgrammingError) {
    Options options({"--time", "1"}, kSpecs);
    EXPECT_THROW(options.value("--tempo"), std::logic_error);
    EXPECT_THROW(options.has("--tempo"), std::logic_error);
    EXPECT_THROW(options.number("--tempo"), std::logic_error);
    EXPECT_EQ(options.number("--time"), 1.0);
}

TEST(CliOptions, UsageIsGeneratedFromTheDeclarations) {
    Command command{"plan", "DEMANDE", "prépare le plan d’actions local d’une demande", kSpecs, {}};
    command.options.push_back({"--chroma", "C0,…,C11", "douze poids"});
    EXPECT_EQ(usage(command),
              "usage : vantorel-cli plan [OPTIONS] DEMANDE\n"
              "prépare le plan d’actions local d’une demande\n"
              "\n"
              "Options :\n"
              "  --time TEMPS       position de lecture\n"
              "  --selected-midi    piste MIDI\n"
              "  --count N          nombre\n"
              "  --chroma C0,…,C11  douze poids\n"
              "  --help             affiche cette aide\n");
    Command bare{"bridge-status", "", "indique si VantorelBridge est prêt", {}, {}};
    EXPECT_EQ(usage(bare),
              "usage : vantorel-cli bridge-status\n"
              "indique si VantorelBridge est prêt\n"
              "\n"
              "Options :\n"
              "  --help  affiche cette aide\n");
}

}  // namespace
}  // namespace vantorel::cli
