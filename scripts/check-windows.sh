#!/usr/bin/env bash
# Compiles every file with Windows-only code with the MinGW cross compiler, syntax only, against
# the Qt headers, so the Windows side of the platform layer keeps compiling.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=x86_64-w64-mingw32-g++-posix
qt=/usr/include/x86_64-linux-gnu/qt5
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -DUNICODE -D_UNICODE -DQT_NO_CAST_FROM_ASCII -DQT_NO_MESSAGELOGCONTEXT
       -I src -I src/launcher -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtNetwork")
count=0
while IFS= read -r file; do
    echo "  $file"
    "$cxx" "${flags[@]}" "$file"
    count=$((count + 1))
done < <(git ls-files '*_win.cpp')
echo "$count Windows files compile"
