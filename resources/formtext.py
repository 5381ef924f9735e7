"""What the stored-form generators under resources/ share: binary property
values written as the form reader reads them."""


def hex_block(data, indent):
    """Bytes as a stored-form binary value: {, hex lines of 32 bytes, }."""
    text = data.hex().upper()
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    pad = " " * indent
    return "{\n" + "\n".join(pad + line for line in lines) + "}"


def text(value):
    """A stored-form string: printable ASCII quoted, the rest as #code."""
    out, quoted = "", False
    for ch in value:
        if 32 <= ord(ch) < 127 and ch != "'":
            if not quoted:
                out += "'"
                quoted = True
            out += ch
        else:
            if quoted:
                out += "'"
                quoted = False
            out += "#%d" % ord(ch)
    if quoted:
        out += "'"
    return out or "''"
