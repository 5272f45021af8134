// The one error model of the system.
//
// Every component reports failures as a small enumeration whose cases each
// carry one fixed user-facing sentence (French for the app and the CLI,
// English for the MCP server's own messages). Components throw a subclass of
// `vantorel::Error`; the type and case names are what the CLI prints and what
// tests compare, the description is what the producer reads.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vantorel {

class Error : public std::runtime_error {
public:
    Error(std::string type, std::string caseName, std::string description)
        : std::runtime_error(description),
          type_(std::move(type)),
          case_(std::move(caseName)),
          description_(std::move(description)) {}

    // The enumeration's name, e.g. "BridgeFailure".
    const std::string& type() const noexcept { return type_; }
    // The case's name as the component spells it, e.g. "configurationMissing".
    const std::string& caseName() const noexcept { return case_; }
    // The fixed user-facing sentence of the case (with its payload, if any).
    const std::string& description() const noexcept { return description_; }

private:
    std::string type_;
    std::string case_;
    std::string description_;
};

// Declares `Name` as an error enumeration: `enum class Name##Case`, a table of
// case names and descriptions, and the thrown class `Name`. Cases without a
// payload use their fixed description; cases with a payload are built by the
// component through the (case, description) constructor.
//
//   enum class FooErrorCase { missing, invalid };
//   class FooError : public vantorel::EnumError<FooError, FooErrorCase> { ... };
template <typename Derived, typename Case>
class EnumError : public Error {
public:
    EnumError(Case kind, std::string description)
        : Error(std::string(Derived::typeName), std::string(Derived::caseName(kind)), std::move(description)),
          kind_(kind) {}
    explicit EnumError(Case kind) : EnumError(kind, std::string(Derived::describe(kind))) {}

    Case kind() const noexcept { return kind_; }

private:
    Case kind_;
};

}  // namespace vantorel
