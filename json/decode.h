// Decoder pieces shared with the rest of the JSON library.
#ifndef VESNAR_JSON_DECODE_H
#define VESNAR_JSON_DECODE_H

// True when the whole of text is exactly one JSON number: the encoder checks
// its printed numbers with this.
bool number_is_valid(const char *text);

#endif
