// The module's dynamic symbol table names exactly the three entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "loadedmodule.h"

namespace {

// Defined dynamic symbols as `nm -D --defined-only` lists them.
std::set<std::string> definedDynamicSymbols(const std::string& path, int& status) {
    std::string command = "nm -D --defined-only '" + path + "' 2>&1";
    std::set<std::string> symbols;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return symbols;
    }
    char line[1024];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            symbols.insert(name);
        }
    }
    status = pclose(pipe);
    return symbols;
}

TEST(ModuleExports, AreExactlyTheThreeEntryPoints) {
    int status = 0;
    std::set<std::string> symbols = definedDynamicSymbols(modulePathUnderTest(), status);
    ASSERT_EQ(0, status) << "nm failed on " << modulePathUnderTest();
    std::set<std::string> expected{"C_GetFunctionList", "C_GetPrivateFunctionList", "C_Initialize"};
    EXPECT_EQ(expected, symbols);
}

}  // namespace
