"""quor_ui: application toolkit."""

__version__ = "0.1.0"
