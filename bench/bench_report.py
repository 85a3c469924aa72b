"""What the benchmarks share when they write docs/performance.md: the
machine's description and the replacement of one section, so that each
benchmark rewrites its own part and leaves the others as they are."""
import os
import platform


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def machine():
    return "%s, %s, %d cores" % (platform.platform(), cpu_model(), os.cpu_count() or 0)


def replace_section(path, title, lines):
    """Writes lines (starting with the title line) into path in place of the
    section that starts with title: up to the next "## " heading. A title of
    level one ("# ...") is the file's head, before its first "## " section.
    A missing section is added: a head in front, any other at the end."""
    section = "\n".join(lines).rstrip("\n") + "\n"
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    if title.startswith("# "):
        first = text.find("\n## ") if not text.startswith("## ") else -1
        if text.startswith("# "):
            rest = text[first + 1:] if first >= 0 else ""
        else:
            rest = text
        text = section + ("\n" + rest if rest else "")
    else:
        start = text.find(title + "\n")
        if start > 0 and text[start - 1] != "\n":
            start = -1
        if start >= 0:
            following = text.find("\n## ", start + len(title))
            text = text[:start] + section + ("\n" + text[following + 1:] if following >= 0 else "")
        else:
            text = text.rstrip("\n") + ("\n\n" if text else "") + section
    with open(path, "w") as f:
        f.write(text)
