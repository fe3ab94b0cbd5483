#include "TeskIcons.h"

#include "TeskIconData.h"

void RegisterTeskIcons() {
  for (std::size_t i = 0; i < kTeskIconCount; ++i) {
    RegisterIconResource(kTeskIconData[i].id, kTeskIconData[i].data, kTeskIconData[i].size);
  }
}
