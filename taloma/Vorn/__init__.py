"""Order signing with the user's PKCS#12 certificate."""
