// EXPECT_ERROR(statement, Type, Case, "texte exact"): the statement throws the
// error enumeration `Type` in case `Case`, whose sentence is exactly the text
// given. Nothing thrown, another case, another sentence or another exception
// each fail the test with what happened instead.
#pragma once

#include "common/error.h"

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <typeinfo>

namespace vantorel::testing {

template <typename Type, typename Case>
::testing::AssertionResult throwsError(const std::function<void()>& call, const char* statement, Case expected,
                                       std::string_view text) {
    try {
        call();
    } catch (const Type& error) {
        if (error.kind() != expected) {
            // Through the base: some enumerations also have a static caseName(kind).
            const vantorel::Error& base = error;
            return ::testing::AssertionFailure() << statement << "\n  threw case " << base.caseName() << " (\""
                                                 << error.description() << "\")";
        }
        if (error.description() != text) {
            return ::testing::AssertionFailure() << statement << "\n  threw the sentence \"" << error.description()
                                                 << "\"\n  instead of \"" << text << "\"";
        }
        return ::testing::AssertionSuccess();
    } catch (const std::exception& other) {
        return ::testing::AssertionFailure() << statement << "\n  threw " << typeid(other).name() << ": "
                                             << other.what();
    } catch (...) {
        return ::testing::AssertionFailure() << statement << "\n  threw something that is not an exception";
    }
    return ::testing::AssertionFailure() << statement << "\n  threw nothing";
}

}  // namespace vantorel::testing

#define EXPECT_ERROR(statement, Type, Case, text) \
    EXPECT_TRUE((::vantorel::testing::throwsError<Type>([&] { statement; }, #statement, Case, text)))
