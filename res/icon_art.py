"""The ZEM Builder's artwork, drawn from geometry so that every icon size and format comes from
one source: the program is a yellow folder with a dark blue Z on its front; an archive is a
cardboard box with its lid on and the same Z, so that archives don't look like folders.

pixel(x, y, size) gives the (r, g, b, a) colour of pixel (x, y) of a size-by-size image, with
4x4 supersampling for the edges; pixel(x, y, size, archive_colour_at) the archive's. The ICO and
PNG generators import this module.
"""

BACK = (214, 150, 30)    # folder back and tab
FRONT = (250, 200, 70)   # folder front
EDGE = (150, 96, 10)     # folder outline
LETTER = (20, 50, 120)   # the Z
BOX = (222, 184, 128)    # the archive's box
LID = (190, 140, 80)     # and its lid
BOX_EDGE = (110, 72, 28)


def _inside_rect(u, v, x0, y0, x1, y1):
    return x0 <= u <= x1 and y0 <= v <= y1


def _near_segment(u, v, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx - u, ay + t * dy - v
    return px * px + py * py <= half_width * half_width


def colour_at(u, v):
    """Colour at normalised coordinates (0..1, y downwards), or None where transparent."""
    if _inside_rect(u, v, 0.30, 0.42, 0.72, 0.50) or _inside_rect(u, v, 0.30, 0.70, 0.72, 0.78):
        return LETTER
    if _near_segment(u, v, 0.68, 0.48, 0.34, 0.72, 0.055):
        return LETTER
    if _inside_rect(u, v, 0.06, 0.30, 0.94, 0.88):
        if not _inside_rect(u, v, 0.09, 0.33, 0.91, 0.85):
            return EDGE
        return FRONT
    if _inside_rect(u, v, 0.06, 0.20, 0.94, 0.30) or _inside_rect(u, v, 0.06, 0.12, 0.44, 0.22):
        return BACK
    return None


def archive_colour_at(u, v):
    """The archive's colour at normalised coordinates, as colour_at."""
    if _inside_rect(u, v, 0.06, 0.16, 0.94, 0.34):
        return LID if _inside_rect(u, v, 0.09, 0.19, 0.91, 0.31) else BOX_EDGE
    if _inside_rect(u, v, 0.12, 0.34, 0.88, 0.92):
        if not _inside_rect(u, v, 0.15, 0.34, 0.85, 0.89):
            return BOX_EDGE
        if _inside_rect(u, v, 0.32, 0.46, 0.68, 0.53) or _inside_rect(u, v, 0.32, 0.72, 0.68, 0.79):
            return LETTER
        if _near_segment(u, v, 0.64, 0.52, 0.36, 0.73, 0.05):
            return LETTER
        return BOX
    return None


def pixel(x, y, size, art=colour_at, samples=4):
    """Average colour of one pixel of `art`, with alpha from the covered share of its samples."""
    r = g = b = covered = 0
    for sy in range(samples):
        for sx in range(samples):
            c = art((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
            if c is not None:
                r, g, b = r + c[0], g + c[1], b + c[2]
                covered += 1
    if covered == 0:
        return (0, 0, 0, 0)
    return (r // covered, g // covered, b // covered, 255 * covered // (samples * samples))
