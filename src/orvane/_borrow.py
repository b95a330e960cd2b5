"""Borrowed-resource errors (small stand-in for the package's borrow module)."""


class BorrowUnavailable(Exception):
    """What a session borrows is gone; ``kind`` "install" means it is not installed."""

    def __init__(self, message, detail=None, kind=None):
        super().__init__(message)
        self.detail = detail
        self.kind = kind
