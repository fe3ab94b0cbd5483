// The icon pictures embedded in the binaries (PNG bytes), defined by the
// source the build generates from res/icons/*.png.
#pragma once

#include <cstddef>

#include <winui.h>

struct EmbeddedIcon {
  UINT id;
  const unsigned char* data;
  std::size_t size;
};

extern const EmbeddedIcon kTeskIconData[];
extern const std::size_t kTeskIconCount;
