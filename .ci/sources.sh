# Sourced by the scripts that compile the modules without CMake.  The
# sources are whatever .cpp files the source directories hold (CMakeLists.txt
# globs them the same way), and the version define comes from the package's
# __version__, the one place it is written (CMake has it from
# scikit-build-core's metadata).
QUORVANE_CORE_SOURCES=(src/csrc/*.cpp)
QUORVANE_STD_SOURCES=(src/csrc/std/*.cpp)
QUORVANE_VERSION=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' src/quorvane/__init__.py)
QUORVANE_VERSION_FLAG="-DQUORVANE_VERSION=\"$QUORVANE_VERSION\""
