"""Files that appear only when complete: new hidden files beside their targets."""

import os

def create_beside(target: str | os.PathLike, tag: str = '') -> tuple[str, int]:
    """
    A new empty file beside target, named '.{stem}.{random}{tag}{extension}' after it.

    The extension is kept last, as writers pick the format by it; the stem is cut at a character boundary so the name stays within 255 bytes. The file is made with O_EXCL and O_NOFOLLOW, so a file or link planted at the name makes the open fail instead of being written through, and the random part leaves nothing to plant ahead.

    Args:
        target: the file it is made beside and named after.
        tag: put between the random part and the extension.

    Returns:
        (path, open descriptor); the caller writes it and renames it onto target when complete.

    Raises:
        OSError: naming target, not the hidden file.
    """
