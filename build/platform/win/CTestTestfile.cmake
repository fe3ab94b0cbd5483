# CMake generated Testfile for 
# Source directory: /work/main/platform/win
# Build directory: /work/main/build/platform/win
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
