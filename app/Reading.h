#pragma once
// When a temperature counts as a reading: one threshold for the panel, the
// diagram and the log, and the value that makes a panel show its placeholder.

// A temperature at or above this is no value: placeholder, no point, N/A.
constexpr double NoValueThreshold = 900.0;
// Above the panel's display limit, so the panel shows its placeholder.
constexpr double PlaceholderValue = 1e38;
