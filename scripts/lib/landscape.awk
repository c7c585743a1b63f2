# Writes a procedural landscape (sky, sun, clouds, two ranges of hills, a lake) as binary PPM
# (P6) or, with -v grey=1, PGM (P5). Deterministic: the same size always gives the same bytes.
#   LC_ALL=C awk -v w=128 -v h=96 [-v grey=1] -f landscape.awk > out.ppm
function clamp(v) { v = int(v + 0.5); return v < 0 ? 0 : (v > 255 ? 255 : v) }
function noise() { seed = (seed * 16807) % 2147483647; return seed / 2147483647 - 0.5 }
BEGIN {
    if (!w) w = 128; if (!h) h = 96
    seed = 20240607
    printf "%s\n%d %d\n255\n", (grey ? "P5" : "P6"), w, h
    sx = w / 128; sy = h / 96                # features scale with the canvas
    sunx = 96 * sx; suny = 22 * sy; sunr = 9 * (sx < sy ? sx : sy) + 1
    lake = 80 * sy
    for (y = 0; y < h; y++) {
        for (x = 0; x < w; x++) {
            u = x / sx; v = y / sy
            far = 52 + 6 * sin(u * 0.05) + 3 * sin(u * 0.13 + 1)
            near = 64 + 8 * sin(u * 0.035 + 2) + 2 * sin(u * 0.2)
            if (v >= lake / sy && v > near) {
                # lake: the sky colour darkened, with ripples
                r = 60 + 10 * sin(u * 0.4 + v * 1.3); g = 95 + 12 * sin(u * 0.3 - v); b = 150
            } else if (v > near) {
                t = (v - near) / 30
                r = 70 - 30 * t; g = 135 - 40 * t; b = 55 - 20 * t
                r += 10 * noise(); g += 14 * noise(); b += 6 * noise()
            } else if (v > far) {
                r = 95 + 0.3 * (v - far); g = 125; b = 120
                r += 3 * noise(); g += 3 * noise(); b += 3 * noise()
            } else {
                r = 95 + v * 1.4; g = 145 + v * 0.9; b = 235 - v * 0.2
                c = sin(u * 0.09 + v * 0.05) * sin(u * 0.031 - v * 0.21)
                if (c > 0.35) { k = (c - 0.35) * 220; r += k; g += k; b += k * 0.5 }
                d = sqrt((x - sunx) ^ 2 + (y - suny) ^ 2)
                if (d < sunr) { r = 255; g = 242; b = 196 }
                else { k = 70 * exp(-(d - sunr) / (6 * sx)); r += k; g += k * 0.8; b += k * 0.3 }
            }
            if (grey) printf "%c", clamp(0.299 * r + 0.587 * g + 0.114 * b)
            else printf "%c%c%c", clamp(r), clamp(g), clamp(b)
        }
    }
}
