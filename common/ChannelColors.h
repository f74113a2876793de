#pragma once
// One colour per channel index, shared by the panel captions and the diagram
// lines. 0xRRGGBB.
#include <cstdint>

constexpr int MaxChannels = 32;
extern const uint32_t ChannelColors[MaxChannels];
