"""What the benchmarks share: the memory of a process tree, the machine's
description, and the replacement of one section of docs/performance.md, so
that each benchmark rewrites its own part and leaves the others as they
are."""
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


def rss_kib(pids):
    """The summed resident memory of the processes, in KiB."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def family_pids(root_pid):
    """The process and all its descendants."""
    pids = [root_pid]
    for pid in pids:
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                pids += [int(x) for x in f.read().split()]
        except OSError:
            pass
    return pids
