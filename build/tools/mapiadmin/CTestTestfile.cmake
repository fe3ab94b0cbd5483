# CMake generated Testfile for 
# Source directory: /work/main/tools/mapiadmin
# Build directory: /work/main/build/tools/mapiadmin
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
