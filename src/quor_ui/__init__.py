"""quor_ui: application toolkit."""
