"""Native 32-slot object cache: ``from quor_ui.fast.quorcache.quorcache import Cache``."""
