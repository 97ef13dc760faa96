"""The ``quarnel`` command: runs, sweeps and their pictures from the shell.

Exit codes: 0 done, 2 a usage or input error (the last line on stderr says what to change),
130 interrupted (Ctrl-C), 1 any other failure. Files are written atomically: a temporary
file beside the target, renamed over it once complete.
"""

from __future__ import annotations

import argparse
import math
import logging
import os
import platform
import signal
import sys
import threading
import warnings
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Callable, Iterator, Optional, Sequence, Union

import numpy as np

import quarnel_lab as ql
from quarnel_lab import games, plot, validation
from quarnel_lab.files import unwritable, write_atomically
from quarnel_lab.seeding import recorded_seed
from quarnel_lab.validation import NORMS, RULES

Result = Union[ql.Sweep, ql.Trajectory, ql.Grid]


class UsageError(Exception):
    """A mistake in what the user asked for; the command exits with code 2."""


# ----------------------------------------------------------------------------- files


def _save_result(result: Result, path: Path) -> None:
    result.save(path)


PICTURE_FORMATS = (".png", ".pdf", ".svg")


def _save_figure(figure: Any, path: Path) -> None:
    """Write the picture in the format its extension names (.png, .pdf or .svg)."""
    picture_format = path.suffix.lower().lstrip(".")
    write_atomically(path, lambda file: figure.savefig(file, format=picture_format, dpi=110))


# ----------------------------------------------------------------------------- summaries


def summary_row(label: str, result: Union[ql.Sweep, ql.Trajectory]) -> dict[str, str]:
    """One line of the summary table, by heading: trials, how many converged, median steps and
    final gap; for a sweep, its median rate and the share of trials whose gap fell below each
    of its tolerances."""
    if isinstance(result, ql.Trajectory):
        steps, last_gaps = np.array([plot.run_length(result.gaps)]), result.gaps[-1:]
    else:
        steps, last_gaps = result["steps"], result["last_gap"]
    row = {"what": label, "trials": str(len(steps))}
    if not len(steps):
        return row
    converged = int(np.count_nonzero(last_gaps < plot.TOLERANCE))
    row.update({"converged": f"{converged}/{len(steps)}", "median steps": f"{np.median(steps):.0f}",
                "median final gap": f"{np.median(last_gaps):.2e}"})
    if isinstance(result, ql.Sweep) and "rate" in result.columns:
        rates = result["rate"][~np.isnan(result["rate"])]  # NaN: too few rows to fit a rate to
        row["median rate"] = f"{np.median(rates):.2e}" if rates.size else "-"
        for tolerance in result.config.get("tolerances", ()):
            row[f"below {tolerance:g}"] = f"{np.mean(result['best_gap'] < tolerance):.1%}"
    return row


def print_table(rows: Sequence[dict[str, str]]) -> None:
    """The rows under the headings any of them has, in order; a cell a row lacks is "-"."""
    header = list(dict.fromkeys(heading for row in rows for heading in row))
    cells = [header, *([row.get(heading, "-") for heading in header] for row in rows)]
    widths = [max(len(row[k]) for row in cells) for k in range(len(header))]
    for row in cells:
        print("  ".join(cell.ljust(width) if k == 0 else cell.rjust(width)
                        for k, (cell, width) in enumerate(zip(row, widths))))


# ----------------------------------------------------------------------------- subcommands


def _finish(args: argparse.Namespace, label: str, result: Union[ql.Sweep, ql.Trajectory]) -> None:
    """Print the summary, then write the .npz and the picture the user asked for."""
    print_table([summary_row(label, result)])
    if isinstance(result, ql.Sweep) and result.seed is not None:
        print(f"seed {result.seed} (pass --seed {result.seed} to get the same trials again)")
    _write_outputs(args, result)


def _write_outputs(args: argparse.Namespace, result: Result) -> None:
    """Write the .npz and the picture the user asked for."""
    if args.out:
        _save_result(result, args.out)
        print(f"wrote {args.out}")
    if args.plot:
        _save_figure(plot.draw(result), args.plot)
        print(f"wrote {args.plot}")


def _progress() -> bool:
    return sys.stderr.isatty()


def cmd_run(args: argparse.Namespace) -> None:
    trajectory = ql.run(games.game(args.game), args.rule, eta=args.eta, steps=args.steps, x0=args.x0, y0=args.y0)
    _finish(args, f"run {args.rule}", trajectory)


@contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    """Where the chunks run: None (here), a scheduler's address, or a loopback cluster started for this run."""
    if args.local_cluster is None and args.scheduler is None:
        yield None
        return
    # Dask logs a lost scheduler or worker with whole tracebacks; the command's last line says what failed.
    logging.disable(logging.ERROR)
    try:
        if args.local_cluster is None:
            yield args.scheduler
        else:
            with _local_cluster(args.local_cluster) as client:
                yield client
    finally:
        logging.disable(logging.NOTSET)


@contextmanager
def _local_cluster(workers: int) -> Iterator[Any]:
    try:
        import distributed
    except ImportError:
        raise UsageError("--local-cluster needs dask.distributed: pip install 'quarnel[distributed]'") from None
    # The workers share this machine's cores: each one's pool gets its share.
    share = max(1, (os.cpu_count() or 1) // workers)
    # Every server the cluster starts listens on the loopback only: older Dask versions start
    # the scheduler's HTTP server on all interfaces when the dashboard address is None.
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
                                  env={"RAYON_NUM_THREADS": str(share)}) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@contextmanager
def _sweep_options(args: argparse.Namespace) -> Iterator[dict[str, Any]]:
    with _client(args) as client:
        yield {"eta": args.eta, "steps": args.steps, "cutoff": args.cutoff, "workers": args.workers,
               "x0": args.x0, "y0": args.y0, "tolerances": args.tolerances, "equilibrium": args.equilibrium,
               "progress": _progress(), "client": client, "checkpoint": args.checkpoint}


def cmd_scattered(args: argparse.Namespace) -> None:
    with _sweep_options(args) as options:
        s = ql.scattered(games.game(args.game), args.rule, trials=args.trials, inner=args.inner, outer=args.outer,
                         norm=args.norm, seed=args.seed, **options)
    _finish(args, f"scattered {args.rule}", s)


def cmd_concentric(args: argparse.Namespace) -> None:
    with _sweep_options(args) as options:
        s = ql.concentric(games.game(args.game), args.rule, trials=args.trials, inner=args.inner,
                          outer=args.outer, slices=args.slices, seed=args.seed, **options)
    _finish(args, f"concentric {args.rule}", s)


def cmd_neighborhood(args: argparse.Namespace) -> None:
    with _sweep_options(args) as options:
        s = ql.neighborhood(games.load_stack(args.stack), args.rule, normalize=args.normalize, **options)
    _finish(args, f"neighborhood {args.rule}", s)


def _loaded(path: Path) -> Result:
    try:
        return ql.load(path)
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file (check the path)") from None
    except (OSError, ValueError) as error:
        raise UsageError(f"{error}; give a file written by quarnel's --out") from None


def cmd_plot(args: argparse.Namespace) -> None:
    results = [_loaded(path) for path in args.file]
    if len(results) == 1:
        figure = plot.draw(results[0], args.metric, args.norm, against=args.against)
    else:
        figure = plot.draw(results, args.metric, args.norm, names=[path.stem for path in args.file],
                           against=args.against)
    _save_figure(figure, args.out)
    print(f"wrote {args.out}")


def cmd_grid(args: argparse.Namespace) -> None:
    with _sweep_options(args) as options:
        options.pop("eta")
        g = ql.grid(games.game(args.game), args.rules, args.etas, trials=args.trials, inner=args.inner,
                    outer=args.outer, slices=args.slices, norm=args.norm, seed=args.seed, **options)
    rows = [summary_row(f"{rule}, eta {eta:g}", cell) for rule, eta, cell in g.cells()]
    print_table(rows)
    print(f"seed {g.seed} (pass --seed {g.seed} to get the same trials again)")
    _write_outputs(args, g)


def cmd_info(args: argparse.Namespace) -> None:
    import quarnel

    pool: dict[str, Any] = getattr(quarnel, "_pool_info")()
    import matplotlib

    rows = [
        ("quarnel", ql.__version__),
        ("python", f"{platform.python_version()} ({sys.executable})"),
        ("numpy", np.__version__),
        ("matplotlib", matplotlib.__version__),
        ("workers", f"{pool['workers']} (chosen by {pool['source']})"),
        ("instruction set", f"{pool['instruction_set']} (this processor runs {', '.join(pool['instruction_sets'])};"
                            " QUARNEL_INSTRUCTION_SET chooses)"),
        ("native build", str(pool["build"])),
    ]
    for name, value in rows:
        print(f"{name:17s}{value}")


DEMO_ETA = 0.1
DEMO_RUN: dict[str, Any] = {"steps": 12_000, "x0": [0.8, 0.1, 0.1], "y0": [0.1, 0.1, 0.8]}
DEMO_SCATTERED: dict[str, Any] = {"trials": 6000, "steps": 3000, "inner": 0.05, "outer": 0.5, "seed": 1}
DEMO_CONCENTRIC: dict[str, Any] = {"trials": 1800, "steps": 3000, "inner": 0.0, "outer": 0.6, "slices": 6, "seed": 2}


def _demo_stack(count: int = 600, seed: int = 2024) -> np.ndarray[Any, np.dtype[np.float64]]:
    """Matching pennies with every entry moved by up to 0.5 either way."""
    moves = np.random.default_rng(seed).uniform(-0.5, 0.5, size=(count, 2, 2))
    return games.BUILTIN_GAMES["matching-pennies"].matrix + moves


def cmd_demo(args: argparse.Namespace) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    progress, rows, pictures = _progress(), [], []
    runs = [ql.run(games.game("biased-rps"), rule, eta=DEMO_ETA, **DEMO_RUN) for rule in RULES]
    for rule, trajectory in zip(RULES, runs):
        _save_result(trajectory, out / f"run-{rule}.npz")
        rows.append(summary_row(f"run {rule} on biased-rps", trajectory))
    pictures += [("gaps.png", plot.draw(runs)), ("strategies.png", plot.strategy_panels(runs))]
    rps = games.game("rps")
    sweeps = [
        ("scattered", "max_last", ql.scattered(rps, "ogda", eta=DEMO_ETA, progress=progress, **DEMO_SCATTERED)),
        ("concentric", "steps", ql.concentric(rps, "ogda", eta=DEMO_ETA, progress=progress, **DEMO_CONCENTRIC)),
        ("neighborhood", "steps", ql.neighborhood(_demo_stack(), "ogda", eta=DEMO_ETA, steps=3000,
                                                  progress=progress)),
    ]
    for kind, metric, s in sweeps:
        _save_result(s, out / f"{kind}.npz")
        rows.append(summary_row(f"{kind} ogda", s))
        pictures.append((f"{kind}.png", plot.draw(s, metric=metric)))
    for name, figure in pictures:
        _save_figure(figure, out / name)
    print(f"quarnel demo, eta {DEMO_ETA}: runs on biased-rps from x0={DEMO_RUN['x0']}, y0={DEMO_RUN['y0']};\n"
          f"sweeps over rps perturbed entrywise by magnitudes in [{DEMO_SCATTERED['inner']}, "
          f"{DEMO_SCATTERED['outer']}) (scattered) and [{DEMO_CONCENTRIC['inner']}, {DEMO_CONCENTRIC['outer']}) "
          f"(concentric), and over perturbed matching-pennies games (neighborhood)\n")
    print_table(rows)
    print(f"\nwrote to {out}/: " + ", ".join(sorted(path.name for path in out.glob("*.npz"))))
    print("pictures: " + ", ".join(name for name, _ in pictures))
    print(f"redraw one: quarnel plot {out / 'scattered.npz'} --metric steps --norm frobenius")


# ----------------------------------------------------------------------------- parser


def _checked(parse: Callable[[str], Any], check: Callable[[Any], Any]) -> Callable[[str], Any]:
    """An argparse type: `parse` the text, then `check` it as the package does; argparse names the option."""

    def convert(text: str) -> Any:
        try:
            return check(parse(text))
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return convert


def _whole(text: str) -> int:
    """A whole number, written as one (12000) or in floating-point notation (1.2e4, 1e4)."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        number = float(text)
    except ValueError:
        number = math.nan
    if not number.is_integer():
        raise ValueError(f"give a whole number, got {text!r}")
    return int(number)


def _counted(name: str, minimum: int = 1) -> Callable[[str], Any]:
    return _checked(_whole, lambda number: validation.count(number, name, minimum=minimum))


_SEED = _checked(_whole, recorded_seed)
_TOLERANCE = _checked(float, lambda tol: validation.tolerances([tol])[0])
SEED_HELP = ("seed that reproduces the sweep (default: the --checkpoint's, else a fresh one; printed either way)")


def _path(text: str) -> Path:
    if not text:
        raise argparse.ArgumentTypeError("give a path, not an empty one")
    return Path(text)


def _game_list() -> str:
    return "\n".join(f"  {name:17s} {game.description}" for name, game in games.BUILTIN_GAMES.items())


def _add_dynamics(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--rule", required=True, choices=RULES, help="learning rule")
    parser.add_argument("--eta", required=True, type=_checked(float, validation.step_size),
                        help="step size (positive)")
    parser.add_argument("--steps", required=True, type=_counted("steps"), help="step budget of every run "
                        "(a run stops at the first gap below 1e-8)")


def _add_outputs(parser: argparse.ArgumentParser, sweep: bool = True) -> None:
    if sweep:
        parser.add_argument("--cutoff", type=_checked(float, validation.cutoff), default=0.1,
                            help="fraction of the gap history, from its end, that max_last and var_last "
                                 "look at (default 0.1)")
        parser.add_argument("--workers", type=_counted("workers"),
                            help="at most this many worker threads (default: all)")
        where = parser.add_mutually_exclusive_group()
        where.add_argument("--scheduler", metavar="ADDRESS", help="run the trials on the Dask cluster of this "
                           "scheduler, e.g. tcp://host:8786 (needs quarnel[distributed])")
        where.add_argument("--local-cluster", type=_counted("the number of workers"), metavar="N",
                           help="run the trials on a Dask cluster "
                           "of N workers on this machine, started for this run and listening on 127.0.0.1 only")
        parser.add_argument("--checkpoint", type=_path, metavar="DIR", help="keep every finished chunk in DIR: "
                            "the same command with the same DIR again runs only what is missing")
        parser.add_argument("--tolerances", type=_TOLERANCE, nargs="+", default=(), metavar="TOL",
                            help="gaps to time, each in (0, 1), e.g. 1e-2 1e-4 1e-6: adds a column steps_below_TOL "
                            "per tolerance, the steps until the gap first fell below it, and the summary shows the "
                            "share of trials that got there")
        parser.add_argument("--equilibrium", action="store_true", help="solve every trial's game as a linear "
                            "program: adds the columns value, support_x, support_y (support sizes), min_prob "
                            "(smallest positive equilibrium probability) and dist (from the last iterate to the "
                            "equilibrium found)")
    parser.add_argument("--out", type=_path, metavar="FILE.npz", help="save the result (quarnel_lab.load reads it)")
    parser.add_argument("--plot", type=_path, metavar="FILE.png", help="draw the result")


def _add_start(parser: argparse.ArgumentParser) -> None:
    learner = ("where the learner starts: the strategy played at step 0, OGDA's and mirror descent's auxiliary "
               "point, FTRL's running sum -ln(P)/eta")
    parser.add_argument("--x0", type=float, nargs="+", metavar="P",
                        help=f"row player's start, a probability vector ({learner}; default uniform)")
    parser.add_argument("--y0", type=float, nargs="+", metavar="P",
                        help="column player's start, likewise (default uniform)")


def _add_band(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("game", metavar="GAME", help="built-in game name or .npy/.csv/.txt matrix file")
    _add_dynamics(parser)
    parser.add_argument("--trials", required=True, type=_counted("trials"), help="number of perturbations")
    parser.add_argument("--inner", required=True, type=float, help="smallest entry magnitude of a perturbation")
    parser.add_argument("--outer", required=True, type=float, help="largest entry magnitude of a perturbation "
                        "(bounds every entry, not the norm)")


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="quarnel", formatter_class=formatter,
        description="Optimistic learning dynamics (OGDA, optimistic multiplicative weights) on two-player\n"
                    "zero-sum matrix games: single runs, seeded sweeps over perturbed games (each trial\n"
                    "measured: gaps, rate, hitting times, and on request its game's equilibrium), and their plots.",
        epilog=f"GAME is a built-in name or a path to a .npy, .csv or whitespace-separated .txt matrix "
               f"(the row player minimises x.A.y).\nBuilt-in games:\n{_game_list()}\n\n"
               f"Start with: quarnel demo    Help on one command: quarnel COMMAND --help",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], None], summary: str,
                example: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, epilog=f"example:\n  {example}",
                                  formatter_class=formatter)
        sub.set_defaults(handler=handler, parser=sub)
        return sub

    demo = command("demo", cmd_demo, "run every kind of study on built-in games and draw them (under a minute)",
                   "quarnel demo --out quarnel-demo")
    demo.add_argument("--out", type=_path, default=Path("quarnel-demo"), metavar="DIR",
                      help="folder for the .npz files and PNGs (default quarnel-demo/)")

    run = command("run", cmd_run, "one convergence run with full strategy and gap histories",
                  "quarnel run biased-rps --rule ogda --eta 0.1 --steps 5000 --plot run.png")
    run.add_argument("game", metavar="GAME", help="built-in game name or .npy/.csv/.txt matrix file")
    _add_dynamics(run)
    _add_start(run)
    _add_outputs(run, sweep=False)

    scattered = command("scattered", cmd_scattered, "seeded sweep over random perturbations in one band",
                        "quarnel scattered rps --rule ogda --eta 0.1 --steps 2000 --trials 2000 "
                        "--inner 0.05 --outer 0.5 --seed 1 --plot s.png")
    _add_band(scattered)
    scattered.add_argument("--norm", choices=NORMS, default="max", help="norm drawn on the plot (default max; "
                           "all three are saved)")
    scattered.add_argument("--seed", type=_SEED, help=SEED_HELP)
    _add_start(scattered)
    _add_outputs(scattered)

    concentric = command("concentric", cmd_concentric, "seeded sweep in equal slices of the band, slice by slice",
                         "quarnel concentric rps --rule ogda --eta 0.1 --steps 2000 --trials 1000 "
                         "--inner 0 --outer 0.5 --slices 5 --plot c.png")
    _add_band(concentric)
    concentric.add_argument("--slices", required=True, type=_counted("slices"),
                            help="number of equal slices of [inner, outer), at most --trials")
    concentric.add_argument("--seed", type=_SEED, help=SEED_HELP)
    _add_start(concentric)
    _add_outputs(concentric)

    neighborhood = command("neighborhood", cmd_neighborhood, "one run per matrix of a given stack",
                           "quarnel neighborhood stack.npy --rule ogda --eta 0.1 --steps 2000 --normalize")
    neighborhood.add_argument("stack", type=_path, metavar="STACK.npy", help=".npy file of shape (K, rows, cols)")
    _add_dynamics(neighborhood)
    neighborhood.add_argument("--normalize", action="store_true", help="rescale every matrix to [0, 1] first")
    _add_start(neighborhood)
    _add_outputs(neighborhood)

    grid = command("grid", cmd_grid, "seeded sweeps of one game for every rule and step size (one seed for all)",
                   "quarnel grid biased-rps --rules ogda omwuoomd --etas 0.05 0.1 0.2 0.4 --steps 3000 "
                   "--trials 500 --inner 0 --outer 0.3 --seed 1 --out g.npz --plot g.png")
    grid.add_argument("game", metavar="GAME", help="built-in game name or .npy/.csv/.txt matrix file")
    grid.add_argument("--rules", required=True, nargs="+", choices=RULES, help="learning rules")
    grid.add_argument("--etas", required=True, nargs="+", type=_checked(float, validation.step_size),
                      help="step sizes (positive)")
    grid.add_argument("--steps", required=True, type=_counted("steps"), help="step budget of every run")
    grid.add_argument("--trials", required=True, type=_counted("trials"), help="perturbations per cell")
    grid.add_argument("--inner", required=True, type=float, help="smallest entry magnitude of a perturbation")
    grid.add_argument("--outer", required=True, type=float, help="largest entry magnitude of a perturbation")
    grid.add_argument("--slices", type=_counted("slices"), help="concentric cells in this many slices of the "
                      "band (default: scattered cells)")
    grid.add_argument("--norm", choices=NORMS, default="max", help="norm of scattered cells' pictures")
    grid.add_argument("--seed", type=_SEED, help=SEED_HELP)
    grid.set_defaults(eta=None)
    _add_start(grid)
    _add_outputs(grid)

    redraw = command("plot", cmd_plot, "draw saved runs, sweeps or a grid (several runs or sweeps overlaid)",
                     "quarnel plot s.npz --metric steps --norm frobenius --out s-steps.png")
    redraw.add_argument("file", type=_path, nargs="+", metavar="FILE.npz",
                        help="a file written by --out; several runs or several sweeps are drawn together")
    redraw.add_argument("--out", type=_path, metavar="FILE.png", help="picture to write (default FILE.png)")
    redraw.add_argument("--metric", metavar="COLUMN", help="sweeps: the column on the y axis, any the file has "
                        "(max_last, the default; steps, last_gap, rate, min_prob, ...); grids: the column whose "
                        "median colours each cell (default: the share of trials converged)")
    where = redraw.add_mutually_exclusive_group()
    where.add_argument("--norm", choices=NORMS, help="sweeps: the norm on the x axis (default: the sweep's own)")
    where.add_argument("--against", metavar="COLUMN", help="sweeps: a column on the x axis instead of a norm, "
                       "e.g. --metric rate --against min_prob")

    command("info", cmd_info, "versions, worker pool and instruction set", "quarnel info")
    return parser


# ----------------------------------------------------------------------------- entry


_PATH_ERRORS = (FileNotFoundError, FileExistsError, PermissionError, IsADirectoryError, NotADirectoryError)
_OUTPUTS = ("out", "plot")


def _inputs(args: argparse.Namespace) -> list[tuple[str, Path]]:
    named = [("GAME", getattr(args, "game", None)), ("STACK.npy", getattr(args, "stack", None)),
             *(("FILE.npz", path) for path in getattr(args, "file", None) or ())]
    return [(name, Path(value)) for name, value in named
            if value is not None and not (name == "GAME" and value in games.BUILTIN_GAMES)]


def _same_file(first: Path, second: Path) -> bool:
    try:
        return first.samefile(second)
    except OSError:  # one of them does not exist yet
        return os.path.realpath(first) == os.path.realpath(second)


def _check_outputs(args: argparse.Namespace) -> None:
    """Refuse, before any work is done, an output that cannot be written or would overwrite an input or another output."""
    if args.command == "demo":
        _check_folder("--out", args.out)
        return
    if args.command == "plot" and args.out is None:
        args.out = args.file[0].with_suffix(".png")
    outputs = [(f"--{option}", path) for option in _OUTPUTS if (path := getattr(args, option, None)) is not None]
    checkpoint: Optional[Path] = getattr(args, "checkpoint", None)
    if checkpoint is not None:
        _check_folder("--checkpoint", checkpoint)
    for number, (option, path) in enumerate(outputs):
        reason = unwritable(path)
        if reason:
            raise UsageError(f"{option} {path}: {reason}")
        for other, other_path in outputs[:number]:
            if _same_file(path, other_path):
                raise UsageError(f"{other} and {option} are the same file {path}: give each its own name")
        for name, source in _inputs(args):
            if _same_file(path, source):
                raise UsageError(f"{option} {path} is the input {name}: writing it would destroy the input; "
                                 "choose another name")
        if checkpoint is not None and _same_file(path, checkpoint):
            raise UsageError(f"{option} {path} is the --checkpoint folder: choose another name")
        picture = option == "--plot" or args.command == "plot"
        formats = PICTURE_FORMATS if picture else (".npz",)
        if path.suffix.lower() not in formats:
            raise UsageError(f"{option} {path}: {'pictures' if picture else 'results'} are written as "
                             f"{', '.join(formats)} files; end the name with {' or '.join(formats)}")


def _check_folder(option: str, folder: Path) -> None:
    """Refuse a folder for outputs that is a file, or in which no file can be made."""
    if folder.exists() and not folder.is_dir():
        raise UsageError(f"{option} {folder} is a file; give a folder")
    reason = unwritable(folder / "probe") if folder.is_dir() else unwritable(folder)
    if reason:
        raise UsageError(f"{option} {folder}: {reason}")


def _show_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None,
                  line: Optional[str] = None) -> None:
    print(f"quarnel: warning: {message}", file=sys.stderr)


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP: the command stops as it does on Ctrl-C (and everything below treats it so)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated(signum)


@contextmanager
def _ending_signals_stop_the_command() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Terminated (on the main thread), so that every temporary file is removed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, _terminate) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _naming_the_option(parser: argparse.ArgumentParser, message: str) -> str:
    """The package's message about an argument ("slices must be ...") as argparse words it, naming the option."""
    option = "--" + message.split(" ", 1)[0].replace("_", "-")
    known = {name for action in parser._actions for name in action.option_strings}
    return f"argument {option}: {message}" if option in known else message


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _ending_signals_stop_the_command(), warnings.catch_warnings():
            warnings.showwarning = _show_warning
            _check_outputs(args)
            args.handler(args)
    except BrokenPipeError:  # the reader went away (`quarnel demo | head`): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Terminated as stop:
        print(f"\nquarnel: stopped by {stop}; no partial file was left", file=sys.stderr)
        return 128 + stop.signum
    except KeyboardInterrupt:
        print("\nquarnel: interrupted; no partial file was left", file=sys.stderr)
        return 130
    except (UsageError, ValueError, ImportError, *_PATH_ERRORS) as error:
        args.parser.print_usage(sys.stderr)
        print(f"quarnel {args.command}: error: {_naming_the_option(args.parser, str(error))}", file=sys.stderr)
        return 2
    except MemoryError as error:
        args.parser.print_usage(sys.stderr)
        detail = f" ({error})" if str(error) else ""
        print(f"quarnel {args.command}: error: not enough memory{detail}: use fewer steps, trials or workers, "
              "or a smaller game", file=sys.stderr)
        return 2
    except Exception as error:
        print(f"quarnel {args.command}: failed: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0
