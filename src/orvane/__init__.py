"""orvane: speech-driven talking-avatar rendering (native core)."""
