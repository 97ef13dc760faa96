"""A mistake mypy must catch: the step size is a float, not a word."""
import quarnel

quarnel.Optimizer.ogda("fast", 2)
