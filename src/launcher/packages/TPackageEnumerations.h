#pragma once

namespace vorna::launcher {

// The numeric values are stored, compared and shown by the UI; never renumber them.

enum class EOperatingSystem
{
    Other = 0,
    Windows = 1,
    MacOS = 2,
    Linux = 3,
};

enum class EArchitecture
{
    Other = 0,
    I386 = 1,
    X86_64 = 2,
};

enum class ELocalPackageStatus
{
    NotDetermined = 0,
    NotInstalled = 1,
    PartiallyInstalled = 2,
    UpdateAvailable = 3,
    UpToDate = 4,
};

enum class EGeneration
{
    Other = 0,
    First = 1,
    Second = 2,
};

enum class EVariant
{
    Other = 0,
    Regular = 1,
    Preview = 2,
    Beta = 3,
    Test = 4,
};

} // namespace vorna::launcher
