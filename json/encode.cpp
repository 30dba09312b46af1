// (filled in by the decoder/encoder/self-check work)
