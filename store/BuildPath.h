// Joins path components with "/": BuildPath(a, b, c, nullptr) is "a/b/c".
// Nothing is doubled or removed: BuildPath("a/", "b", nullptr) is "a//b".
#pragma once

#include <initializer_list>
#include <string>

std::string BuildPath(const char* first, ...) __attribute__((sentinel));
std::string BuildPath(std::initializer_list<std::string> components);
