// Keeps the helper library non-empty while it has no sources of its own.
