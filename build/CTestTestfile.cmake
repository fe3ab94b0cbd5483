# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("platform/win")
subdirs("platform/com")
subdirs("platform/mapi")
subdirs("tools/mapiadmin")
subdirs("tests")
