"""Market-data decoding and bus topic naming."""
