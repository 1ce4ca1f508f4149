// Drawing on the firmware's framebuffer, in whatever pixel layout the record
// describes.
#pragma once

#include <quillmor/handoff.h>

// Draws the test picture; returns false (having said why) when the record's
// framebuffer is absent or described in a way this code cannot draw on.
//
// The picture, for a framebuffer of width W and height H (integer division):
// - a gradient over every pixel: red = x * 255 / (W - 1), green =
//   y * 255 / (H - 1), blue = 64;
// - a white frame 8 pixels wide along the four edges;
// - three squares of side S = min(W, H) / 4, pure red, green and blue, their
//   centres at (W / 4, H / 2), (W / 2, H / 2) and (3 * W / 4, H / 2):
//   square i covers x from (i + 1) * W / 4 - S / 2 and y from H / 2 - S / 2,
//   S pixels each way.
// The end-to-end test recomputes these positions from the reported geometry.
bool draw_picture(const quillmor_handoff& record);
