"""Companion package of the :mod:`pylumotext` extension: data paths, pipelines, command line."""

from lumotext._data import default_paths

__all__: list[str] = ["default_paths"]
