"""A small inventory application, bundled as the analyzer's default input."""
