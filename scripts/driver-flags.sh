# Compiler flags of the Windows x64 kernel-mode build (sourced by the build scripts).
RAILWATCH_DRIVER_CXXFLAGS=(
  -std=c++17 -O2 -Wall -Wextra -Werror
  -I/usr/share/mingw-w64/include/ddk
  -D_AMD64_ -DNTDDI_VERSION=0x06010000 -D_WIN32_WINNT=0x0601
  -fno-exceptions -fno-rtti -mno-red-zone -fno-stack-protector -fno-builtin-memcmp
  -fno-asynchronous-unwind-tables -ffreestanding
)
