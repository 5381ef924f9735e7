"""What the stored-form generators under resources/ share: binary property
values written as the form reader reads them."""


def hex_block(data, indent):
    """Bytes as a stored-form binary value: {, hex lines of 32 bytes, }."""
    text = data.hex().upper()
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    pad = " " * indent
    return "{\n" + "\n".join(pad + line for line in lines) + "}"
