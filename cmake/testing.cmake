# token_discover_tests(TARGET [gtest_discover_tests options...])
#
# Registers a GoogleTest binary's cases with CTest under the names the tests give them
# ("Words/PcsclinkStatusWord.AloneGivesEmptyReplyAndTheStatusWordAsResult/6A82"). Without
# NO_PRETTY_VALUES and NO_PRETTY_TYPES CMake swaps each case's name for a dump of its
# parameter's bytes, which says nothing and changes from build to build (it holds pointers).
include(GoogleTest)

function(token_discover_tests target)
    gtest_discover_tests(${target} NO_PRETTY_VALUES NO_PRETTY_TYPES ${ARGN})
endfunction()
