#pragma once
// Decoding of hello and command packets: filled in by the command decoding work.
