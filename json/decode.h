// Decoder internals shared with the encoder.
#ifndef VESNAR_JSON_DECODE_H
#define VESNAR_JSON_DECODE_H

// True when the whole of text is one JSON number.
bool number_is_valid(const char *text);

#endif
