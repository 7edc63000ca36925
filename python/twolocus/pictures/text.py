"""Text that fits a picture: titles wrapped (or made smaller) to the width they may take."""

from matplotlib.font_manager import FontProperties
from matplotlib.textpath import TextToPath


def text_points(text, fontsize):
    """The width in points of one line of text drawn at fontsize."""
    return TextToPath().get_text_width_height_descent(text, FontProperties(size=fontsize),
                                                      ismath=False)[0]


def fitted_title(text, width, fontsize, smallest=6.0):
    """Takes a title, the width it may take in inches, its font size and the
    smallest size it may take; returns (text, font size) that fit: the size
    made smaller (down to smallest) where one word is wider than the width,
    then each line wrapped at blanks, and a word still too wide cut where it
    reaches the edge."""
    points = text_points
    words = text.split()
    widest = max((points(word, fontsize) for word in words), default=0)
    # A margin either side of the title.
    room = width * 72 - 2 * fontsize
    if widest > room:
        fontsize = max(smallest, fontsize * room / widest)
        room = width * 72 - 2 * fontsize

    def pieces(word):
        while len(word) > 1 and points(word, fontsize) > room:
            cut = next(end for end in range(len(word) - 1, 0, -1)
                       if end == 1 or points(word[:end], fontsize) <= room)
            yield word[:cut]
            word = word[cut:]
        yield word

    lines = []
    for line in text.split("\n"):
        current = None
        for word in (piece for word in line.split(" ") for piece in pieces(word)):
            longer = word if current is None else f"{current} {word}"
            if current is not None and points(longer, fontsize) > room:
                lines.append(current)
                current = word
            else:
                current = longer
        lines.append(current or "")
    return "\n".join(lines), fontsize
