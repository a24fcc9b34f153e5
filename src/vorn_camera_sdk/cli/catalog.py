"""``vorn-camera catalog``: the camera families, or one family's or SKU's
capture modes and controls."""

from __future__ import annotations

import argparse
import difflib

from .core import EXIT_NOTHING, EXIT_OK, err


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``catalog`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("catalog", help="show camera families, or one family's or SKU's modes and controls")
    sp.add_argument("sku", nargs="?", metavar="SKU|FAMILY", help="an SKU (any case) or a family name such as petrin")
    return sp


def _summary(family: str, spec) -> str:
    supported = sum(1 for m in spec.modes if m.is_supported)
    return f"VORN {family}: {len(spec.skus)} SKUs, {len(spec.modes)} modes ({supported} supported)"


def _print_spec(heading: str, spec) -> None:
    print(heading)
    print(f"\nSKUs ({len(spec.skus)}):")
    for sku in spec.skus:
        print(f"  {sku}")
    print(f"\nCapture modes ({len(spec.modes)}):")
    print(f"  {'format':6}  {'size':>9}  {'fps':>4}  {'stereo':6}  {'supported':9}  default")
    for m in spec.modes:
        print(
            f"  {m.fourcc:6}  {f'{m.width}x{m.height}':>9}  {m.fps!s:>4}  "
            f"{'yes' if m.stereo else 'no':6}  {'yes' if m.is_supported else 'no':9}  {'*' if m.is_default else ''}"
        )
    print(f"\nControls ({len(spec.controls)}):")
    print(f"  {'name':24}  {'range':>14}  {'default':>7}  {'unit':6}  auto companion")
    for c in spec.controls:
        rng = f"{c.min}..{c.max}"
        if c.enum_values:
            rng = ",".join(str(v) for v, _ in c.enum_values)
        print(f"  {c.name:24}  {rng:>14}  {c.default!s:>7}  {c.unit or '':6}  {c.auto_companion or ''}")


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print the families, or the family's or SKU's spec; exit code 1 for a
    name the catalog does not know.
    """
    from ..cameras.camera_spec import family_of, family_specs, spec_by_family, spec_by_sku

    families = family_specs()
    if not args.sku:
        for name, each in families.items():
            print(_summary(name, each))
            for sku in each.skus:
                print(f"  {sku}")
        return EXIT_OK

    family = spec_by_family(args.sku)
    if family is not None:
        _print_spec(_summary(family_of(family) or "", family), family)
        return EXIT_OK
    skus = {sku.upper(): sku for s in families.values() for sku in s.skus}
    known = skus.get(args.sku.strip().upper())
    spec = spec_by_sku(known) if known else None
    if spec is None:
        close = difflib.get_close_matches(args.sku.strip().upper(), skus, n=3, cutoff=0.6)
        hint = f" (did you mean {' or '.join(skus[c] for c in close)}?)" if close else ""
        err(f"{args.sku!r} is not in the catalog: no model or SKU has that name{hint}; "
            "run 'vorn-camera catalog' for the list.")
        return EXIT_NOTHING
    _print_spec(f"VORN {family_of(spec)}: {known}", spec)
    return EXIT_OK
