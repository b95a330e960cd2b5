"""Placeholder; replaced by the shared-encoder policy stand-in."""
SHARED_ENC_ID = "lumeth2-shared-enc"
