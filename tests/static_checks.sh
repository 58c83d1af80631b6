#!/bin/sh
# clang-tidy, with the checked-in .clang-tidy, and cppcheck over src/
# must report nothing.  $1 is the source tree, $2 a build tree with
# compile_commands.json.
src=$1
build=$2
for tool in clang-tidy cppcheck; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing"
        [ "${CI:-}" = true ] && exit 1
        exit 77
    fi
done
status=0
clang-tidy --quiet -p "$build" "$src"/src/*.cpp "$src"/src/store/*.cpp ||
    status=1
# The numeric constants come from the build; cppcheck gets the defaults.
cppcheck --quiet --error-exitcode=1 --inline-suppr --language=c++ \
    --std=c++17 --enable=warning,style,performance,portability \
    -I "$src/src" -DVELK_KEEP_DEFAULT=10 -DVELK_MAX_WORDS=30 \
    -DVELK_PATH_BUF=1024 -DVELK_BLOCK_SIZE=1024 "$src/src" || status=1
exit $status
