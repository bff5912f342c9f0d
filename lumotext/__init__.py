"""Companion package of the :mod:`pylumotext` extension: data paths, pipelines, command line."""

__all__: list[str] = []
