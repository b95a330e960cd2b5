"""Offline helpers of the package: container unpacking for the avatar cache.

A small stand-in: the unpacker lives with the container reader in
``orvane._qvx_engine``.
"""
from orvane._qvx_engine import unfold_qvx

__all__ = ["unfold_qvx"]
